// The reader thread with read-ahead: keeps bulk transfers queued on the
// device, takes each as it completes, puts it back in the queue at once and
// has the framer, which checks every frame, cut its bytes into rows.
#include "board/py_pcb_rix.hpp"

namespace {

// How long the reader handles USB events before it looks at `running` and
// flush requests again: stop() and flush() wait about this long.
constexpr std::chrono::milliseconds kEventWait{10};

}  // namespace

void py_PCB_RIX::submit_transfers(BulkInQueue& transfers) {
  if (!transfers.submit_idle()) counters.failed_reads.add(1);
}

BulkInQueue::Outcome py_PCB_RIX::take_transfer(StreamFramer& framer, BulkInQueue& transfers) {
  const BulkInQueue::Taken taken = transfers.take_oldest(framer.input());
  if (taken.outcome == BulkInQueue::Outcome::failed) counters.failed_reads.add(1);
  if (taken.outcome == BulkInQueue::Outcome::completed && taken.stream_bytes == 0) counters.short_reads.add(1);
  framer.take_stream_bytes(taken.stream_bytes, run_clock.now_ns());
  return taken.outcome;
}

// What is queued or completed was sent before the flush: it goes, the chip
// is purged, and the stream is taken as a run's start.
void py_PCB_RIX::serve_flush(ReadAheadRun& run) {
  run.transfers.cancel_all();
  while (run.transfers.wait_oldest(std::chrono::microseconds::zero())) run.transfers.drop_oldest();
  device.purge();
  run.framer.restart();
  submit_transfers(run.transfers);
  {
    const std::lock_guard lock(flush_mutex);
    flush_requested = false;
  }
  flush_served.notify_all();
}

void py_PCB_RIX::ReadAheadLoop(StreamFramer framer, std::unique_ptr<BulkInQueue> transfers) {
  failed_reads_in_a_row = 0;
  ReadAheadRun run{framer, *transfers};
  read_ahead_run = &run;
  BlockInWork work{AcquireFreeBlock()};
  submit_transfers(*transfers);
  while (running && work.handle.block) {
    if (flush_requested) {
      serve_flush(run);
    } else if (transfers->in_flight() == 0) {
      // None would go out: the device is not open or gone.
      back_off_after_failed_read();
      submit_transfers(*transfers);
    } else if (transfers->wait_oldest(kEventWait)) {
      // A transfer that failed on its own may fail again at once.
      if (take_transfer(framer, *transfers) == BulkInQueue::Outcome::failed) {
        back_off_after_failed_read();
      } else {
        failed_reads_in_a_row = 0;
      }
      submit_transfers(*transfers);
      fill_blocks(framer, work);
    }
  }
  // What the transfers hold when they are cancelled reached the host: it is
  // the stream's end, as far as there is a block for it.
  transfers->cancel_all();
  while (transfers->wait_oldest(std::chrono::microseconds::zero())) {
    if (!work.handle.block) {
      transfers->drop_oldest();
      continue;
    }
    take_transfer(framer, *transfers);
    fill_blocks(framer, work);
  }
  read_ahead_run = nullptr;
  end_run(framer, work);
}
