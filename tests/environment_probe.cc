// A program that prints the value of PATH as the platform layer gives it, or
// "(unset)". platform_runtime_test runs it setuid with a PATH of its choosing.
#include <cstdio>

#include "platform/win32_api.h"

int main() {
  char value[4096];
  DWORD n = GetEnvironmentVariableA("PATH", value, sizeof value);
  std::printf("%s\n", n == 0 || n >= sizeof value ? "(unset)" : value);
  return 0;
}
