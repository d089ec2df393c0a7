// virtual_memory.cc: VirtualAlloc, VirtualFree and VirtualLock on Linux, for
// pages a process maps for itself: a reservation of no access, or committed
// read-write pages, released whole by their base address.
//
// VirtualLock keeps the pages in memory, as on Windows (mlock: never written
// to swap), and, since what a process locks is what it keeps secret, also
// out of its core dumps (MADV_DONTDUMP), which is as near as Linux comes to
// what Windows Error Reporting's excluded blocks do. The mark is made first
// and stays when the lock itself is refused (RLIMIT_MEMLOCK), which then fails
// with ERROR_WORKING_SET_QUOTA as Windows does past its working-set limit.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#include "platform/win32_api.h"

namespace {

// Mappings made here and their lengths: VirtualFree releases a whole
// reservation given only its base, as on Windows. A plain table, with nothing
// to free when the library is unloaded; a process of ours makes one or two.
struct MappingEntry {
  uintptr_t base;
  size_t length;
};
constexpr size_t kMostMappings = 64;
std::mutex g_mappingsMutex;
MappingEntry g_mappings[kMostMappings];

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// The whole pages [p, p + n) touches; false when the range wraps.
bool PageRange(const void *p, size_t n, uintptr_t *begin, size_t *length) {
  const uintptr_t page = PageSize();
  const uintptr_t first = reinterpret_cast<uintptr_t>(p);
  if (p == nullptr || n == 0 || first + n < first) return false;
  *begin = first & ~(page - 1);
  *length = ((first + n + page - 1) & ~(page - 1)) - *begin;
  return true;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace

extern "C" {

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
  const bool commit = flAllocationType == (MEM_RESERVE | MEM_COMMIT) && flProtect == PAGE_READWRITE;
  const bool reserve = flAllocationType == MEM_RESERVE && flProtect == PAGE_NOACCESS;
  if (lpAddress != nullptr || dwSize == 0 || !(commit || reserve)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t page = PageSize();
  if (dwSize > SIZE_MAX - page) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const size_t length = (dwSize + page - 1) & ~(page - 1);
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | (reserve ? MAP_NORESERVE : 0);
  void *p = mmap(nullptr, length, commit ? PROT_READ | PROT_WRITE : PROT_NONE, flags, -1, 0);
  if (p == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_mappingsMutex);
  for (MappingEntry &entry : g_mappings) {
    if (entry.base == 0) {
      entry = {reinterpret_cast<uintptr_t>(p), length};
      return p;
    }
  }
  munmap(p, length);
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
  if (dwFreeType != MEM_RELEASE || dwSize != 0) return Fail(ERROR_INVALID_PARAMETER);
  const auto base = reinterpret_cast<uintptr_t>(lpAddress);
  size_t length = 0;
  {
    std::lock_guard<std::mutex> lock(g_mappingsMutex);
    for (MappingEntry &entry : g_mappings) {
      if (base != 0 && entry.base == base) {
        length = entry.length;
        entry = MappingEntry{};
        break;
      }
    }
  }
  if (length == 0) return Fail(ERROR_INVALID_ADDRESS);
  munmap(lpAddress, length);
  return TRUE;
}

BOOL WINAPI VirtualLock(LPVOID lpAddress, SIZE_T dwSize) {
  uintptr_t begin = 0;
  size_t length = 0;
  if (!PageRange(lpAddress, dwSize, &begin, &length)) return Fail(ERROR_INVALID_PARAMETER);
  void *pages = reinterpret_cast<void *>(begin);
  if (madvise(pages, length, MADV_DONTDUMP) != 0) return Fail(ERROR_INVALID_ADDRESS);
  if (mlock(pages, length) != 0) return Fail(errno == ENOMEM || errno == EPERM || errno == EAGAIN
                                                 ? ERROR_WORKING_SET_QUOTA
                                                 : ERROR_INVALID_ADDRESS);
  return TRUE;
}

}  // extern "C"
