// Starts the emulator for the whole test program before any test runs.
#include "emulated_chip.hpp"

namespace {
const ::testing::Environment* const kEmulator = ::testing::AddGlobalTestEnvironment(new EmulatorEnvironment);
}  // namespace
