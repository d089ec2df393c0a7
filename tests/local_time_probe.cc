// A program that prints its local time as the platform layer gives it
// (hour:minute). platform_runtime_test runs it setuid with a TZ of its choosing.
#include <cstdio>

#include "platform/win32_api.h"

int main() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::printf("%02u:%02u\n", static_cast<unsigned>(now.wHour), static_cast<unsigned>(now.wMinute));
  return 0;
}
