// runtime.cc: the Windows runtime functions ambercrypt needs, on Linux:
// module path, thread-local last error, secure zero fill, local time, and
// the Microsoft C runtime helpers.
#include <clocale>
#include <climits>
#include <cwchar>
#include <sys/auxv.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/win32_api.h"

namespace {

// A privileged host (setuid or setgid: the kernel sets AT_SECURE) must not take
// its local time, and so the end of every lockout, from its caller's TZ, which
// the C library would read. Such a host goes by the system zone. (Plain getenv
// on purpose: secure_getenv would hide the very variable to be removed.)
__attribute__((constructor)) void IgnoreCallersZone() {
  if (getauxval(AT_SECURE) != 0 && getenv("TZ") != nullptr) unsetenv("TZ");
}

// Static TLS: the library may be loaded with dlopen and unloaded again, and
// dynamic TLS blocks of an unloaded object are left dangling for tools that
// walk every thread's TLS.
thread_local DWORD g_last_error __attribute__((tls_model("initial-exec"))) = ERROR_SUCCESS;
}  // namespace

extern "C" {

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  // Only the executable's own path is ever asked for. /proc/self/exe is set by
  // the kernel; argv[0] is whatever the caller chose and cannot be trusted.
  if (hModule != nullptr || lpFilename == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char path[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
  if (n <= 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  DWORD length = static_cast<DWORD>(n);
  if (length >= nSize) {
    // Windows truncates, terminates, and reports the buffer size.
    memcpy(lpFilename, path, nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  memcpy(lpFilename, path, length);
  lpFilename[length] = '\0';
  SetLastError(ERROR_SUCCESS);
  return length;
}

DWORD WINAPI GetLastError(void) { return g_last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { g_last_error = dwErrCode; }

PVOID SecureZeroMemory(PVOID ptr, SIZE_T cnt) {
  if (ptr != nullptr && cnt != 0) explicit_bzero(ptr, cnt);
  return ptr;
}

void WINAPI GetLocalTime(LPSYSTEMTIME st) {
  if (st == nullptr) return;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  time_t seconds = tv.tv_sec;
  struct tm local;
  // As localtime does: take TZ (or the system zone) as it is now, not as it
  // was when the process first asked.
  tzset();
  localtime_r(&seconds, &local);
  st->wYear = static_cast<WORD>(local.tm_year + 1900);
  st->wMonth = static_cast<WORD>(local.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  st->wDay = static_cast<WORD>(local.tm_mday);
  st->wHour = static_cast<WORD>(local.tm_hour);
  st->wMinute = static_cast<WORD>(local.tm_min);
  st->wSecond = static_cast<WORD>(local.tm_sec);
  st->wMilliseconds = static_cast<WORD>(tv.tv_usec / 1000);
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME *st, LPFILETIME ft) {
  if (st == nullptr || ft == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  static const int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int y = st->wYear, m = st->wMonth, d = st->wDay;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1601 || y > 30827 || m < 1 || m > 12 || d < 1 ||
      d > kDaysInMonth[m - 1] + ((m == 2 && leap) ? 1 : 0) || st->wHour > 23 || st->wMinute > 59 ||
      st->wSecond > 59 || st->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Days since 1601-01-01 (proleptic Gregorian), from the civil date.
  int64_t yy = y - (m <= 2 ? 1 : 0);
  int64_t era = yy / 400;
  int64_t yoe = yy - era * 400;
  int64_t mp = (m + 9) % 12;
  int64_t doy = (153 * mp + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int64_t days_since_0000_03_01 = era * 146097 + doe;
  const int64_t kDays1601 = 584694;  // 1601-01-01 counted the same way
  int64_t days = days_since_0000_03_01 - kDays1601;
  uint64_t ticks = static_cast<uint64_t>(days) * 864000000000ULL +
                   (static_cast<uint64_t>(st->wHour) * 3600 + st->wMinute * 60 + st->wSecond) * 10000000ULL +
                   static_cast<uint64_t>(st->wMilliseconds) * 10000ULL;
  ft->dwLowDateTime = static_cast<DWORD>(ticks);
  ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return TRUE;
}

void _splitpath(const char *path, char *drive, char *dir, char *fname, char *ext) {
  if (drive) drive[0] = '\0';
  if (dir) dir[0] = '\0';
  if (fname) fname[0] = '\0';
  if (ext) ext[0] = '\0';
  if (path == nullptr) return;
  const char *p = path;
  if (p[0] != '\0' && p[1] == ':') {
    if (drive) {
      drive[0] = p[0];
      drive[1] = ':';
      drive[2] = '\0';
    }
    p += 2;
  }
  const char *last_sep = nullptr;
  const char *last_dot = nullptr;
  for (const char *q = p; *q; ++q) {
    if (*q == '\\' || *q == '/') {
      last_sep = q;
      last_dot = nullptr;
    } else if (*q == '.') {
      last_dot = q;
    }
  }
  const char *name = last_sep ? last_sep + 1 : p;
  auto copy = [](char *out, const char *begin, const char *end, size_t cap) {
    if (out == nullptr) return;
    size_t n = static_cast<size_t>(end - begin);
    if (n >= cap) n = cap - 1;
    memcpy(out, begin, n);
    out[n] = '\0';
  };
  copy(dir, p, name, _MAX_DIR);
  const char *name_end = last_dot ? last_dot : name + strlen(name);
  copy(fname, name, name_end, _MAX_FNAME);
  if (last_dot) copy(ext, last_dot, last_dot + strlen(last_dot), _MAX_EXT);
}

char *_itoa(int value, char *buffer, int radix) {
  if (buffer == nullptr) return nullptr;
  if (radix < 2 || radix > 36) {
    buffer[0] = '\0';
    return buffer;
  }
  // Only base 10 is signed; other bases show the two's complement bits.
  bool negative = radix == 10 && value < 0;
  unsigned int v = negative ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
  char digits[40];
  int n = 0;
  do {
    unsigned int d = v % static_cast<unsigned int>(radix);
    digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
    v /= static_cast<unsigned int>(radix);
  } while (v != 0);
  char *out = buffer;
  if (negative) *out++ = '-';
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
  return buffer;
}

__int64 _atoi64(const char *str) {
  if (str == nullptr) return 0;
  while (isspace(static_cast<unsigned char>(*str))) ++str;
  bool negative = false;
  if (*str == '-' || *str == '+') negative = *str++ == '-';
  uint64_t v = 0;
  while (*str >= '0' && *str <= '9') v = v * 10 + static_cast<uint64_t>(*str++ - '0');
  return static_cast<__int64>(negative ? 0 - v : v);
}

__int64 _time64(__int64 *timer) {
  __int64 now = static_cast<__int64>(time(nullptr));
  if (timer) *timer = now;
  return now;
}

char *_strdup(const char *s) { return s ? strdup(s) : nullptr; }

int _ismbblead(unsigned int c) {
  if (MB_CUR_MAX <= 1) return 0;
  char byte = static_cast<char>(c & 0xFF);
  mbstate_t state;
  memset(&state, 0, sizeof state);
  // A lead byte is one that starts a sequence it cannot complete alone.
  return mbrlen(&byte, 1, &state) == static_cast<size_t>(-2) ? 1 : 0;
}

int _ismbcupper(unsigned int c) { return c <= 0xFF && isupper(static_cast<int>(c)) ? 1 : 0; }

int _ismbclower(unsigned int c) { return c <= 0xFF && islower(static_cast<int>(c)) ? 1 : 0; }

int _ismbcdigit(unsigned int c) { return c <= 0xFF && isdigit(static_cast<int>(c)) ? 1 : 0; }

}  // extern "C"
