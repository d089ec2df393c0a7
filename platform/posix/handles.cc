// handles.cc: the table of live handles (see handles.h).
#include "platform/posix/handles.h"

#include <mutex>
#include <new>
#include <unordered_map>

namespace ambercrypt::posix {
namespace {

// The table exists only while some handle is live, so a library unloaded with
// every handle closed leaves nothing behind.
std::mutex g_mutex;
std::unordered_map<const void *, HandleKind> *g_live = nullptr;

}  // namespace

HandleRegistration::HandleRegistration(const void *object, HandleKind kind) : object_(object) {
  std::lock_guard<std::mutex> lock(g_mutex);
  try {
    if (g_live == nullptr) g_live = new std::unordered_map<const void *, HandleKind>;
    (*g_live)[object] = kind;
  } catch (const std::bad_alloc &) {
    // Not in the table, the handle is refused as invalid: an error, not a crash.
  }
}

HandleRegistration::~HandleRegistration() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_live == nullptr) return;
  g_live->erase(object_);
  if (g_live->empty()) {
    delete g_live;
    g_live = nullptr;
  }
}

bool IsLiveHandle(const void *handle, HandleKind kind) {
  if (handle == nullptr) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_live == nullptr) return false;
  auto it = g_live->find(handle);
  return it != g_live->end() && it->second == kind;
}

}  // namespace ambercrypt::posix
