// dll_main.cc: the Windows library entry.
#include "frame/entry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
  (void)lpvReserved;
  switch (fdwReason) {
    case DLL_PROCESS_ATTACH:
      ambercrypt::ProcessAttach(hinstDLL);
      break;
    case DLL_PROCESS_DETACH:
      ambercrypt::ProcessDetach();
      break;
    default:
      break;
  }
  return TRUE;
}
