#pragma once

namespace tavrel::bench {

// Seconds per cell, with `threads` threads busy (each timed on its own
// cells), that one iteration's arithmetic
// costs when no data has to come from beyond the first-level cache: three
// double running-sum steps (column, row and disparity), the two float line
// sums, and the quotient, clamp, square and product with L0. The iteration
// cannot go below this however its data moves, so it shows how much of the
// gap to the traffic bound is arithmetic. Runs on the instruction-set path
// chosen now, vectorised as the engine's kernels are.
double ArithmeticFloorPerCell(int threads);

}  // namespace tavrel::bench
