// elf_entry.cc: the Linux library entry. The loader runs these when the shared
// library is loaded and unloaded, as it calls DllMain on Windows.
#include <dlfcn.h>

#include "frame/entry.h"

namespace {

HMODULE OwnModule() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&OwnModule), &info) == 0) return nullptr;
  return reinterpret_cast<HMODULE>(info.dli_fbase);
}

__attribute__((constructor)) void AmbercryptLoad() { ambercrypt::ProcessAttach(OwnModule()); }

__attribute__((destructor)) void AmbercryptUnload() { ambercrypt::ProcessDetach(); }

}  // namespace
