#include "cli/stop_signals.h"

#include <signal.h>

namespace tavrel::cli {
namespace {

volatile sig_atomic_t stopSignal = 0;

void NoteStop(int signal) { stopSignal = signal; }

}  // namespace

void InstallStopSignals() {
  struct sigaction stop {};
  stop.sa_handler = NoteStop;
  sigemptyset(&stop.sa_mask);
  // No SA_RESTART: a write blocked on a pipe returns, and the run can stop.
  stop.sa_flags = 0;
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int StopSignal() { return stopSignal; }

}  // namespace tavrel::cli
