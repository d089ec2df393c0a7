#include "frame/entry.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "crypto/secret_arena.h"
#include "store/caches.h"

namespace ambercrypt {

char g_hostPath[MAX_PATH] = {};

namespace {

CSPICtrl *g_spiCtrl = nullptr;
CFPICtrl *g_fpiCtrl = nullptr;

// The longest path Windows has, 32767 characters, with its terminator.
constexpr DWORD kLongestPath = 32768;

}  // namespace

CSPICtrl *SpiService() { return g_spiCtrl; }
CFPICtrl *FpiService() { return g_fpiCtrl; }
FpiContext *AttachedFpiContext() { return g_fpiCtrl != nullptr ? &g_fpiCtrl->context() : nullptr; }
SpiContext *AttachedSpiContext() { return g_spiCtrl != nullptr ? &g_spiCtrl->context() : nullptr; }

bool ApplicationNameFromPath(const char *path, char *name) {
  name[0] = '\0';
  if (path == nullptr) return false;
  // Only the last component is split, behind a separator of its own so that
  // no drive is read into it: the runtime's _splitpath cuts (or, in the
  // Microsoft runtime, empties) any part longer than its _MAX_ buffer.
  const char *fileName = path;
  for (const char *p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') fileName = p + 1;
  }
  if (fileName == path && path[0] != '\0' && path[1] == ':') fileName = path + 2;
  size_t length = strlen(fileName);
  if (length == 0 || length >= _MAX_FNAME) return false;
  char lastPart[_MAX_FNAME + 1];
  lastPart[0] = '\\';
  memcpy(lastPart + 1, fileName, length + 1);
  char drive[_MAX_DRIVE];
  char dir[_MAX_DIR];
  char ext[_MAX_EXT];
  _splitpath(lastPart, drive, dir, name, ext);
  return name[0] != '\0';
}

bool ReadHostPath(std::string *path, ModuleFileNameFunction getModuleFileName) {
  for (DWORD size = MAX_PATH;; size = size * 2 < kLongestPath ? size * 2 : kLongestPath) {
    std::vector<char> buffer(size, '\0');
    DWORD length = getModuleFileName(nullptr, buffer.data(), size);
    if (length == 0) return false;
    // Every Windows version reports a cut path by filling the whole buffer
    // (terminated or not); anything shorter is the whole path.
    if (length < size) {
      path->assign(buffer.data(), length);
      return true;
    }
    if (size == kLongestPath) return false;
  }
}

void ProcessAttach(HMODULE module, const char *hostPath) {
  ProcessDetach();  // a second attach replaces the first state
  memset(g_hostPath, 0, sizeof g_hostPath);

  // A failure here must never fail the load: a missing object answers 257.
  try {
    std::string path;
    bool havePath = hostPath != nullptr;
    if (havePath) {
      path = hostPath;
    } else {
      havePath = ReadHostPath(&path);
    }
    strncpy(g_hostPath, path.c_str(), sizeof g_hostPath - 1);
    // Never a name from a cut path: it may be another application's.
    char fileName[_MAX_FNAME];
    bool haveName = havePath && ApplicationNameFromPath(path.c_str(), fileName);

    g_spiCtrl = new (std::nothrow) CSPICtrl(module);
    g_fpiCtrl = new (std::nothrow) CFPICtrl(module);
    if (g_spiCtrl != nullptr && g_fpiCtrl != nullptr) {
      if (haveName) {
        g_spiCtrl->Attach(fileName);
        g_fpiCtrl->Attach(fileName);
      } else {
        // No application: the FPI exports answer as for one without settings,
        // while the administration exports, which name their application,
        // still have the installation's key material.
        g_spiCtrl->LoadInstallationKey();
      }
    }
  } catch (...) {
  }
}

void ProcessDetach() {
  delete g_spiCtrl;
  g_spiCtrl = nullptr;
  delete g_fpiCtrl;
  g_fpiCtrl = nullptr;
  // The caches belong to this attach: the next one starts afresh.
  Caches().ClearAll();
  // Every kept secret is gone with them: the pages that held them can go.
  ReleaseSecretPagesIfUnused();
}

}  // namespace ambercrypt
