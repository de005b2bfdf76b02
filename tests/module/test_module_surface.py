"""What Python sees of the module and the PCB_RIX class without any board."""

import datetime
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _pynvk_boards_pp as nvk

MODULE_DOC = "\n        _pynvk_boards_pp\n        --------\n    "
CLASS_DOC = (
    "\n        PCB_RIX class\n        --------\n        A class to handle the PCB_RIX device.\n"
    "        Attributes\n        ----------\n        serial_number: str\n"
    "            Serial number of the device.\n        "
)
TIMEOUT_DOC = "\n                Timeout for the device operations in nanoseconds.\n                "


def test_module_attributes_come_in_order_with_the_exact_docstring():
    assert nvk.__doc__ == MODULE_DOC and len(nvk.__doc__) == 47
    own = [name for name in vars(nvk) if name in ("__doc__", "list_pcb_rix", "PCB_RIX")]
    assert own == ["__doc__", "list_pcb_rix", "PCB_RIX"]
    assert nvk.PCB_RIX.__module__ == "_pynvk_boards_pp"


def test_list_pcb_rix_takes_no_arguments():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        nvk.list_pcb_rix(1)


def test_class_members_docstrings_and_kinds():
    assert nvk.PCB_RIX.__doc__ == CLASS_DOC and len(CLASS_DOC) == 200
    pybind11_own = {"__doc__", "__module__", "_pybind11_conduit_v1_"}
    members = [name for name in vars(nvk.PCB_RIX) if name not in pybind11_own]
    assert members == [
        "__init__", "samples", "_get_raw_data", "start", "stop", "timeout",
        "serial_number", "__repr__", "opened", "flush", "stats", "read_ahead", "take_block",
    ]
    timeout = vars(nvk.PCB_RIX)["timeout"]
    assert timeout.__doc__ == TIMEOUT_DOC and len(TIMEOUT_DOC) == 83
    assert timeout.fset is not None
    assert vars(nvk.PCB_RIX)["samples"].fset is None


def test_stream_facts_agree_with_what_boards_do():
    board = nvk.PCB_RIX("A", samples_count=nvk.MIN_SAMPLES_COUNT)
    assert list(board.stats()) == list(nvk.STATS_KEYS)
    assert set(nvk.STATS_STATES) < set(nvk.STATS_KEYS)
    board.timeout = 0.0
    board.start()
    board.stop()
    assert board.samples.shape == (nvk.MIN_SAMPLES_COUNT, nvk.COLUMNS)
    assert nvk.FRAME_SIZE == 2 + 2 * nvk.COLUMNS
    with pytest.raises(ValueError, match=f"between {nvk.MIN_SAMPLES_COUNT} and {nvk.MAX_SAMPLES_COUNT}"):
        nvk.PCB_RIX("A", samples_count=nvk.MAX_SAMPLES_COUNT + 1)


class TestReadAhead:
    @pytest.mark.parametrize("given, kept", [(0, 0), (1, 512), (512, 512), (513, 1024), (1 << 20, 1 << 20)])
    def test_rounds_up_to_whole_usb_packets(self, given, kept):
        board = nvk.PCB_RIX("A")
        assert board.read_ahead == 0
        board.read_ahead = given
        assert board.read_ahead == kept == kept // nvk.USB_PACKET_SIZE * nvk.USB_PACKET_SIZE

    @pytest.mark.parametrize(
        "bad, error, message",
        [(-1, ValueError, "must not be negative"), (-(2**70), ValueError, "must not be negative"),
         (2**31, ValueError, "at most 1073741824 bytes"), (2**70, ValueError, "at most"),
         (1.0, TypeError, "an int of bytes, not float"), (True, TypeError, "not bool"), (None, TypeError, "NoneType")],
    )
    def test_refused_values_leave_it_unchanged(self, bad, error, message):
        board = nvk.PCB_RIX("A")
        board.read_ahead = 4096
        with pytest.raises(error, match=message):
            board.read_ahead = bad
        assert board.read_ahead == 4096


class TestTakeBlockWithoutDevice:
    @pytest.mark.parametrize("timeout", [0, 0.0, -1, 0.01, np.float64(0.0)])
    def test_numbers_of_seconds_bound_the_wait(self, timeout):
        assert nvk.PCB_RIX("A").take_block(timeout) is None

    @pytest.mark.parametrize(
        "bad, error, message",
        [("1", TypeError, "not str"), (True, TypeError, "not bool"), (datetime.timedelta(0), TypeError, "timedelta"),
         (float("nan"), ValueError, "not NaN")],
    )
    def test_refused_timeouts_say_what_is_accepted(self, bad, error, message):
        with pytest.raises(error, match=message):
            nvk.PCB_RIX("A").take_block(timeout=bad)


def test_unopened_board_keeps_what_it_was_given():
    board = nvk.PCB_RIX("ABC123")
    assert board.opened() is False
    assert board.serial_number() == "ABC123"
    assert repr(board) == "PCB_RIX(serial_number='ABC123')"
    assert board.timeout is None
    assert callable(board.serial_number) and callable(board.opened)
    assert board.flush() is None


def test_repr_leaves_quotes_unescaped():
    assert repr(nvk.PCB_RIX("it's")) == "PCB_RIX(serial_number='it's')"


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1,), {}), (("A", -1), {}), (("A", 2.5), {}), (("A", "10"), {}), (("A",), {"rows": 10})],
)
def test_constructor_refuses_bad_arguments(args, kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        nvk.PCB_RIX(*args, **kwargs)


@pytest.mark.parametrize("rows", [0, 1, 178_956_971, 2**64 - 1])
def test_constructor_refuses_unusable_block_sizes(rows):
    with pytest.raises(ValueError, match="samples_count must be between 2 and 178956970"):
        nvk.PCB_RIX("A", samples_count=rows)


@pytest.mark.skipif(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") > 64 * nvk.MAX_SAMPLES_COUNT * 10,
                    reason="this computer holds the largest pool")
def test_a_pool_larger_than_the_computer_raises_memory_error_at_once():
    with pytest.raises(MemoryError, match=f"samples_count {nvk.MAX_SAMPLES_COUNT} needs .* more than this computer's memory"):
        nvk.PCB_RIX("A", samples_count=nvk.MAX_SAMPLES_COUNT)


def test_keywords_select_the_block_size():
    board = nvk.PCB_RIX(serial_number="A", samples_count=2)
    board.timeout = 0.0
    assert board.samples is None


class TestTimeout:
    @pytest.mark.parametrize(
        "given, expected",
        [
            (datetime.timedelta(milliseconds=250), datetime.timedelta(milliseconds=250)),
            (0.25, datetime.timedelta(milliseconds=250)),
            (1e-10, datetime.timedelta(0)),
            (1.5e-6, datetime.timedelta(microseconds=1)),
            (datetime.timedelta(days=3, seconds=5, microseconds=7), datetime.timedelta(days=3, seconds=5, microseconds=7)),
            (-0.5, datetime.timedelta(seconds=-0.5)),
        ],
    )
    def test_round_trips(self, given, expected):
        board = nvk.PCB_RIX("A")
        board.timeout = given
        assert board.timeout == expected

    @pytest.mark.parametrize(
        "bad, error, message",
        [
            (None, TypeError, "a datetime.timedelta or a float of seconds, not NoneType"),
            (1, TypeError, "a datetime.timedelta or a float of seconds, not int"),
            ("1s", TypeError, "a datetime.timedelta or a float of seconds, not str"),
            (float("nan"), ValueError, "not NaN"),
        ],
    )
    def test_refused_values_say_what_is_accepted_and_leave_the_timeout_unchanged(self, bad, error, message):
        board = nvk.PCB_RIX("A")
        with pytest.raises(error, match=message):
            board.timeout = bad
        assert board.timeout is None
        board.timeout = 0.5
        with pytest.raises(error, match=message):
            board.timeout = bad
        assert board.timeout == datetime.timedelta(milliseconds=500)

    @pytest.mark.parametrize(
        "too_long",
        [datetime.timedelta.max, datetime.timedelta.min, datetime.timedelta(days=106_752), 9.3e9, -9.3e9,
         float("inf"), float("-inf")],
    )
    def test_timeouts_beyond_64_bit_nanoseconds_are_refused_not_wrapped(self, too_long):
        board = nvk.PCB_RIX("A")
        board.timeout = 0.5
        with pytest.raises(OverflowError, match="timeout must lie within 292 years"):
            board.timeout = too_long
        assert board.timeout == datetime.timedelta(milliseconds=500)

    def test_longest_timeouts_that_fit_are_kept(self):
        board = nvk.PCB_RIX("A")
        board.timeout = datetime.timedelta(days=106_751)
        assert board.timeout == datetime.timedelta(days=106_751)
        board.timeout = -9.2e9
        assert board.timeout == datetime.timedelta(seconds=-9.2e9)

    def test_zero_timeout_does_not_wait(self):
        board = nvk.PCB_RIX("A")
        board.timeout = datetime.timedelta(0)
        assert board.samples is None


class TestRawDataWithoutDevice:
    def test_count_checks_come_before_the_device(self):
        board = nvk.PCB_RIX("A")
        with pytest.raises(ValueError):
            board._get_raw_data(-1)
        with pytest.raises(TypeError):
            board._get_raw_data(1.0)
        with pytest.raises(TypeError):
            board._get_raw_data(count=1)

    @pytest.mark.parametrize("count", [2**31, 2**32 + 10, 2**63 - 1])
    def test_counts_beyond_one_device_read_are_refused_before_allocating(self, count):
        board = nvk.PCB_RIX("A")
        with pytest.raises(ValueError, match="count must be at most 2147483647"):
            board._get_raw_data(count)

    @pytest.mark.parametrize("count", [16, 0])
    def test_unopened_board_read_says_the_board_is_not_open(self, count):
        board = nvk.PCB_RIX("A")
        with pytest.raises(ValueError, match=r"^board 'A' is not open \(opened\(\) is False\)"):
            board._get_raw_data(count)


def test_start_and_stop_on_an_unopened_board_hand_over_only_the_untouched_block():
    board = nvk.PCB_RIX("A", samples_count=16)
    board.start()
    board.start()
    board.stop()
    board.stop()
    board.timeout = 0.01
    # Every read fails, so the one block the reader took comes back unwritten.
    block = board.samples
    assert block.shape == (16, 5) and block.dtype == np.int16 and not block.any()
    assert board.samples is None


def test_failing_libftdi_context_surfaces_as_runtime_error(tmp_path):
    """A libftdi that cannot make a context: construction raises, nothing is built."""
    source = tmp_path / "no_ftdi_new.c"
    source.write_text("#include <stddef.h>\nvoid* ftdi_new(void) { return NULL; }\n")
    library = tmp_path / "libno_ftdi_new.so"
    compiler_env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(library), str(source)], check=True, env=compiler_env)
    script = textwrap.dedent(
        """
        import _pynvk_boards_pp as nvk
        assert nvk.list_pcb_rix() == []
        try:
            nvk.PCB_RIX("A")
        except RuntimeError as error:
            print(error)
        """
    )
    # After any preloads already in force: a sanitizer runtime must stay first.
    env = dict(os.environ, LD_PRELOAD=f"{os.environ.get('LD_PRELOAD', '')} {library}".strip())
    result = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "Can't call libftdi function, ctx handle is null"
