#include "servicestep.h"

bool UpdateStep() { return true; }
