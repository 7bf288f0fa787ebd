#pragma once

#include "engine/float_array.h"

namespace tavrel::fast {

// Asks the system to back the grid's storage with huge pages where it can.
// Call it before the storage is first written: a match volume then costs a
// few dozen page faults instead of tens of thousands. Values are unaffected;
// without the facility nothing happens.
void AdviseHugePages(FloatArray& grid);

// Maps the grid's pages on all threads at once, each thread its own run of
// pages, before a stage writes them in an order where the threads would
// reach every page together and wait on each other's faults. Values are
// unchanged; pages already mapped cost a read and a write each.
void TouchPages(FloatArray& grid);

}  // namespace tavrel::fast
