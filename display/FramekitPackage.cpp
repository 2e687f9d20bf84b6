// The display package: the engine's units linked into one shared library. Its exports are the
// symbols marked for export in those units (the scaler's plain entry among them).
#include "BresenhamScaler.h"
