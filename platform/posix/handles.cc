// handles.cc: the table of live handles (see handles.h).
#include "platform/posix/handles.h"

#include <mutex>
#include <new>
#include <unordered_map>

namespace ambercrypt::posix {
namespace {

struct Table {
  std::mutex mutex;
  std::unordered_map<const void *, HandleKind> live;
};

Table &TheTable() {
  static Table *table = new Table;  // never destroyed: handles may be closed during exit
  return *table;
}

}  // namespace

HandleRegistration::HandleRegistration(const void *object, HandleKind kind) : object_(object) {
  Table &t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  try {
    t.live[object] = kind;
  } catch (const std::bad_alloc &) {
    // Not in the table, the handle is refused as invalid: an error, not a crash.
  }
}

HandleRegistration::~HandleRegistration() {
  Table &t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.live.erase(object_);
}

bool IsLiveHandle(const void *handle, HandleKind kind) {
  if (handle == nullptr) return false;
  Table &t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.live.find(handle);
  return it != t.live.end() && it->second == kind;
}

}  // namespace ambercrypt::posix
