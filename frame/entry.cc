#include "frame/entry.h"

#include <cstring>
#include <new>

namespace ambercrypt {

CSPICtrl *g_spiCtrl = nullptr;
CFPICtrl *g_fpiCtrl = nullptr;
char g_hostPath[MAX_PATH] = {};

void ApplicationNameFromPath(const char *path, char *name) {
  char drive[_MAX_DRIVE];
  char dir[_MAX_DIR];
  char ext[_MAX_EXT];
  _splitpath(path, drive, dir, name, ext);
}

void ProcessAttach(HMODULE module, const char *hostPath) {
  ProcessDetach();  // a second attach replaces the first state
  memset(g_hostPath, 0, sizeof g_hostPath);
  if (hostPath != nullptr) {
    strncpy(g_hostPath, hostPath, sizeof g_hostPath - 1);
  } else {
    GetModuleFileNameA(nullptr, g_hostPath, sizeof g_hostPath);
  }
  char fileName[_MAX_FNAME];
  ApplicationNameFromPath(g_hostPath, fileName);

  // A failure here must never fail the load: a missing object answers 257.
  try {
    g_spiCtrl = new (std::nothrow) CSPICtrl(module);
    g_fpiCtrl = new (std::nothrow) CFPICtrl(module);
    if (g_spiCtrl != nullptr && g_fpiCtrl != nullptr) {
      g_spiCtrl->Attach(fileName);
      g_fpiCtrl->Attach(fileName);
    }
  } catch (...) {
  }
}

void ProcessDetach() {
  delete g_spiCtrl;
  g_spiCtrl = nullptr;
  delete g_fpiCtrl;
  g_fpiCtrl = nullptr;
}

}  // namespace ambercrypt
