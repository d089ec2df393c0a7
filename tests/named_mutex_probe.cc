// named_mutex_probe (Linux): what the machine-wide named mutex costs, measured
// on this machine; a measurement, not a test (it asserts no timing).
//   named_mutex_probe [--rounds R] [--processes N] [--cycles C] [--base DIR]
// In a fresh state root under DIR (default $TMPDIR or /tmp):
//   - uncontended: R times CreateMutexA, WaitForSingleObject, ReleaseMutex,
//     CloseHandle, as ScopedNamedMutex does on every lockout check;
//   - contended: N processes on one lock, C cycles each in the shape of a
//     lockout check and update: the lock, a read of a counter in a null-DACL
//     key, the lock released; the lock again, the counter read and written
//     (one durable commit), released. Every wait for the lock is timed.
// Prints the median and 99th percentile of the uncontended pair, and p50,
// p99 and the longest wait under contention, the waits that ran out
// (10 s, as the lockout lock's), and whether the counter came out exact.
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace {

using Clock = std::chrono::steady_clock;
const char kLockName[] = "Global\\AmbercryptLockout.Verify.probe";
const char kKey[] = "SOFTWARE\\AmbercryptProbe\\UserInfo";
constexpr DWORD kWaitMs = 10000;

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

int RemoveEntry(const char *path, const struct stat *, int type, struct FTW *) {
  return type == FTW_DP ? rmdir(path) : unlink(path);
}

bool ReadCount(HKEY key, DWORD *count) {
  DWORD size = sizeof *count;
  return RegQueryValueExA(key, "count", nullptr, nullptr, reinterpret_cast<BYTE *>(count), &size) == ERROR_SUCCESS;
}

// One lock acquisition, timed; false when it ran out or failed.
bool Lock(HANDLE *handle, std::vector<double> *waits) {
  const auto start = Clock::now();
  *handle = CreateMutexA(nullptr, FALSE, kLockName);
  DWORD wait = *handle != nullptr ? WaitForSingleObject(*handle, kWaitMs) : WAIT_FAILED;
  waits->push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  if (wait != WAIT_OBJECT_0) {
    if (*handle != nullptr) CloseHandle(*handle);
    return false;
  }
  return true;
}

void Unlock(HANDLE handle) {
  ReleaseMutex(handle);
  CloseHandle(handle);
}

// A process's cycles; its waits go to file, one a line. Exit code 0 when
// every wait succeeded and every read and write worked.
int RunCycles(int cycles, const std::string &file) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return 2;
  std::vector<double> waits;
  waits.reserve(static_cast<size_t>(cycles) * 2);
  int failures = 0;
  for (int i = 0; i < cycles; ++i) {
    HANDLE lock = nullptr;
    DWORD count = 0;
    if (!Lock(&lock, &waits)) {
      ++failures;
      continue;
    }
    if (!ReadCount(key, &count)) ++failures;  // the check
    Unlock(lock);
    if (!Lock(&lock, &waits)) {
      ++failures;
      continue;
    }
    if (!ReadCount(key, &count)) ++failures;  // the update
    ++count;
    if (RegSetValueExA(key, "count", 0, REG_DWORD, reinterpret_cast<BYTE *>(&count), sizeof count) != ERROR_SUCCESS) {
      ++failures;
    }
    Unlock(lock);
  }
  RegCloseKey(key);
  std::ofstream out(file);
  for (double w : waits) out << w << '\n';
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 20000, processes = 8, cycles = 200;
  std::string base = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--rounds") == 0) {
      rounds = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--processes") == 0) {
      processes = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--cycles") == 0) {
      cycles = atoi(argv[i + 1]);
    } else if (strcmp(argv[i], "--base") == 0) {
      base = argv[i + 1];
    } else {
      fprintf(stderr, "usage: named_mutex_probe [--rounds R] [--processes N] [--cycles C] [--base DIR]\n");
      return 2;
    }
  }
  std::string pattern = base + "/ambercrypt-probe-XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  if (mkdtemp(path.data()) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  const std::string root = path.data();
  setenv("AMBERCRYPT_ROOT", root.c_str(), 1);

  HKEY key = nullptr;
  uint8_t nullDacl[256];
  DWORD zero = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS ||
      !InitializeSecurityDescriptor(nullDacl, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(nullDacl, TRUE, nullptr, FALSE) ||
      RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullDacl) != ERROR_SUCCESS ||
      RegSetValueExA(key, "count", 0, REG_DWORD, reinterpret_cast<BYTE *>(&zero), sizeof zero) != ERROR_SUCCESS) {
    fprintf(stderr, "cannot set up the store in %s\n", root.c_str());
    return 1;
  }
  RegCloseKey(key);

  // Uncontended: the lock file made once, then a pair per round.
  std::vector<double> pairs;
  pairs.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    HANDLE h = CreateMutexA(nullptr, FALSE, kLockName);
    if (h == nullptr || WaitForSingleObject(h, kWaitMs) != WAIT_OBJECT_0) {
      fprintf(stderr, "uncontended lock failed\n");
      return 1;
    }
    ReleaseMutex(h);
    CloseHandle(h);
    pairs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  printf("uncontended CreateMutexA + wait + release + close: median %.2f us, p99 %.2f us (%d rounds)\n",
         Percentile(pairs, 0.5), Percentile(pairs, 0.99), rounds);

  std::vector<pid_t> children;
  const auto start = Clock::now();
  for (int n = 0; n < processes; ++n) {
    pid_t pid = fork();
    if (pid == 0) _exit(RunCycles(cycles, root + "/waits" + std::to_string(n)));
    children.push_back(pid);
  }
  int failedProcesses = 0;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failedProcesses;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> waits;
  int timeouts = 0;
  for (int n = 0; n < processes; ++n) {
    std::ifstream in(root + "/waits" + std::to_string(n));
    double w;
    while (in >> w) {
      waits.push_back(w);
      if (w >= kWaitMs) ++timeouts;
    }
  }
  DWORD count = 0;
  bool exact = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS && ReadCount(key, &count) &&
               count == static_cast<DWORD>(processes * cycles);
  printf(
      "%d processes x %d cycles on one lock (%.1f s): waits p50 %.3f ms, p99 %.3f ms, max %.1f ms; "
      "%d of %zu waits ran out; %d processes failed; counter %u of %d (%s)\n",
      processes, cycles, seconds, Percentile(waits, 0.5), Percentile(waits, 0.99),
      waits.empty() ? 0.0 : *std::max_element(waits.begin(), waits.end()), timeouts, waits.size(), failedProcesses,
      count, processes * cycles, exact ? "exact" : "NOT EXACT");
  nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return exact && failedProcesses == 0 ? 0 : 1;
}
