// CindravaleSVC: the native client service.
#include "nclservice.h"
#include "servicehost.h"

int wmain(int argc, wchar_t** argv) {
  return RunServiceProgram(argc, argv, "Native Client Service", ServiceMain);
}
