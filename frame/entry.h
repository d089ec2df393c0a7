// entry.h: the process-wide service objects and the attach and detach
// sequences the library entry runs. ProcessAttach takes the host path from the
// loader unless one is given, which is how tests load, unload and reload the
// library state in one process. Attach and detach run under the loader's lock.
// The exports reach the service objects; tests and tools reach the state they
// work on through the contexts (AttachedFpiContext, AttachedSpiContext).
#ifndef AMBERCRYPT_FRAME_ENTRY_H_
#define AMBERCRYPT_FRAME_ENTRY_H_

#include <string>

#include "frame/fpi_ctrl.h"
#include "frame/spi_ctrl.h"
#include "platform/win32_api.h"

namespace ambercrypt {

// The attached process's service objects, or null (before attach, after
// detach, or when the attach could not make them).
CSPICtrl *SpiService();
CFPICtrl *FpiService();
// Their contexts, null as above: the host application's FPI state, and the
// SPI side's current application and key material.
FpiContext *AttachedFpiContext();
SpiContext *AttachedSpiContext();
// The host executable's path, filled at attach; a longer path is cut here,
// but the application is always named from the whole path.
extern char g_hostPath[MAX_PATH];

// Creates both service objects and runs their attach steps for the host whose
// path is hostPath (null: the executable's own path). A host whose name cannot
// be had serves no application. Never fails the load.
void ProcessAttach(HMODULE module, const char *hostPath = nullptr);
// Wipes and destroys both service objects and empties the caches. Tolerates
// missing objects.
void ProcessDetach();

// The application name of a host path: its file name without directory, drive
// or extension. False (name empty) when there is none or it does not fit
// whole in _MAX_FNAME bytes.
bool ApplicationNameFromPath(const char *path, char *name /* _MAX_FNAME bytes */);

// ReadHostPath returns true with the executable's whole path in *path, or false
// when it cannot be had. A call that fills its whole buffer may have cut the
// path, so the path is read again into a larger one, up to 32768 bytes.
// getModuleFileName stands in for GetModuleFileNameA in tests.
using ModuleFileNameFunction = DWORD(WINAPI *)(HMODULE, LPSTR, DWORD);
bool ReadHostPath(std::string *path, ModuleFileNameFunction getModuleFileName = GetModuleFileNameA);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_ENTRY_H_
