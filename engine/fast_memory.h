#pragma once

#include "engine/float_array.h"

namespace tavrel::fast {

// Asks the system to back the grid's storage with huge pages where it can.
// Call it before the storage is first written: a match volume then costs a
// few dozen page faults instead of tens of thousands. Values are unaffected;
// without the facility nothing happens.
void AdviseHugePages(FloatArray& grid);

}  // namespace tavrel::fast
