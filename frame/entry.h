// entry.h: the process-wide service objects and the attach and detach
// sequences the library entry runs. ProcessAttach takes the host path from the
// loader unless one is given, which is how tests load, unload and reload the
// library state in one process. Attach and detach run under the loader's lock.
#ifndef AMBERCRYPT_FRAME_ENTRY_H_
#define AMBERCRYPT_FRAME_ENTRY_H_

#include "frame/fpi_ctrl.h"
#include "frame/spi_ctrl.h"
#include "platform/win32_api.h"

namespace ambercrypt {

extern CSPICtrl *g_spiCtrl;
extern CFPICtrl *g_fpiCtrl;
// The host executable's full path, filled at attach.
extern char g_hostPath[MAX_PATH];

// Creates both service objects and runs their attach steps for the host whose
// path is hostPath (null: the executable's own path). Never fails the load.
void ProcessAttach(HMODULE module, const char *hostPath = nullptr);
// Wipes and destroys both service objects. Tolerates missing objects.
void ProcessDetach();

// The application name of a host path: no drive, directory or extension.
void ApplicationNameFromPath(const char *path, char *name /* _MAX_FNAME bytes */);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_ENTRY_H_
