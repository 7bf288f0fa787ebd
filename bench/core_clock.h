#pragma once

namespace tavrel::bench {

// Core cycles per second of the thread that calls it, measured now: a chain
// of dependent integer additions, one per cycle on every core of interest,
// timed by the steady clock. For figures in core cycles where the machine
// offers no hardware counters (virtual machines), independent of the
// time-stamp counter's nominal rate and of turbo states. Best of a few runs.
double CoreCyclesPerSecond();

}  // namespace tavrel::bench
