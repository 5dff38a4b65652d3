// One update pass over the drop folder.
#pragma once

// Runs one pass; the result tells whether the pass ran (the service ignores it).
bool UpdateStep();
