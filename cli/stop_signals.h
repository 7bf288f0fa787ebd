#pragma once

namespace tavrel::cli {

// SIGINT and SIGTERM ask the run to stop: the handler only notes the signal,
// and the run stops at the next stage or iteration, where the files written so
// far are whole and no temporary is left. SIGPIPE is ignored, so that a
// closed standard error or a reader that leaves a pipe early turns into a
// failed write instead of ending the program without a word.
void InstallStopSignals();

// The signal that asked the run to stop; 0 while none has.
int StopSignal();

// The exit status for a run stopped by `signal`: 128 + its number, as a
// shell reports a program that the signal ended.
inline int StoppedStatus(int signal) { return 128 + signal; }

}  // namespace tavrel::cli
