// CindravaleUS: the client update service.
#include "servicehost.h"
#include "updateservice.h"

int wmain(int argc, wchar_t** argv) {
  return RunServiceProgram(argc, argv, "Client Update Service", ServiceMain);
}
