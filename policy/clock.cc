#include "policy/clock.h"

#include <atomic>

#include "platform/win32_api.h"

namespace ambercrypt {
namespace {

std::atomic<ClockFunction> g_clock{nullptr};

uint64_t MachineLocalFileTime() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  FILETIME ticks;
  if (!SystemTimeToFileTime(&local, &ticks)) return 0;
  return (static_cast<uint64_t>(ticks.dwHighDateTime) << 32) | ticks.dwLowDateTime;
}

}  // namespace

uint64_t LocalFileTimeNow() {
  ClockFunction clock = g_clock.load();
  return clock != nullptr ? clock() : MachineLocalFileTime();
}

void SetClockForTesting(ClockFunction clock) { g_clock.store(clock); }

}  // namespace ambercrypt
