// The runtime functions of the platform layer, against the real ones on
// Windows: module path, path splitting, number text, last error, probes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>
#include <atomic>
#if !defined(_WIN32)
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "frame/entry.h"
#include "platform/win32_api.h"
#include "support/test_support.h"

namespace {

TEST(PlatformRuntimeTest, ModuleFileNameIsTheExecutable) {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(strlen(path), n);
  char name[_MAX_FNAME];
  ambercrypt::ApplicationNameFromPath(path, name);
  EXPECT_STREQ("platform_runtime_test", name);
}

TEST(PlatformRuntimeTest, ModuleFileNameTruncatesWithTerminator) {
  AMBER_SKIP_IF_WINE_DIFFERS();
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 5u);
  // Truncated to the buffer and terminated, reporting the buffer size.
  char small[6];
  memset(small, 'x', sizeof small);
  EXPECT_EQ(6u, GetModuleFileNameA(nullptr, small, sizeof small));
  EXPECT_EQ('\0', small[5]);
  EXPECT_EQ(0, strncmp(path, small, 5));
}

TEST(PlatformRuntimeTest, SplitPathTakesBothSeparators) {
  struct Case {
    const char *path, *drive, *dir, *name, *ext;
  };
  const Case cases[] = {
      {"C:\\Apps\\Scanner.EXE", "C:", "\\Apps\\", "Scanner", ".EXE"},
      {"/usr/local/bin/scanner", "", "/usr/local/bin/", "scanner", ""},
      {"D:/mixed\\dirs/tool.v2.exe", "D:", "/mixed\\dirs/", "tool.v2", ".exe"},
      {"plain", "", "", "plain", ""},
      {"dir.d\\noext", "", "dir.d\\", "noext", ""},
  };
  for (const Case &c : cases) {
    char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
    _splitpath(c.path, drive, dir, name, ext);
    EXPECT_STREQ(c.drive, drive) << c.path;
    EXPECT_STREQ(c.dir, dir) << c.path;
    EXPECT_STREQ(c.name, name) << c.path;
    EXPECT_STREQ(c.ext, ext) << c.path;
  }
}

TEST(PlatformRuntimeTest, IntegerTexts) {
  char text[40];
  EXPECT_STREQ("7", _itoa(7, text, 10));
  EXPECT_STREQ("0", _itoa(0, text, 10));
  EXPECT_STREQ("-5", _itoa(-5, text, 10));
  EXPECT_STREQ("-2147483648", _itoa(-2147483647 - 1, text, 10));
  EXPECT_STREQ("ff", _itoa(255, text, 16));
  EXPECT_STREQ("ffffffff", _itoa(-1, text, 16));
  EXPECT_EQ(-42, _atoi64("  -42abc"));
  EXPECT_EQ(INT64_C(-9223372036854775807) - 1, _atoi64("-9223372036854775808"));
}

TEST(PlatformRuntimeTest, LastErrorBelongsToTheThread) {
  // Two threads set their own values, each waiting (without calling anything
  // that could touch the last error) until the other has set its value.
  std::atomic<int> stage{0};
  DWORD seenFirst = 0, seenSecond = 0, initialSecond = 99;
  std::thread first([&] {
    SetLastError(1234);
    stage = 1;
    while (stage.load() != 2) {
    }
    seenFirst = GetLastError();
  });
  std::thread second([&] {
    while (stage.load() != 1) {
    }
    initialSecond = GetLastError();
    SetLastError(77);
    seenSecond = GetLastError();
    stage = 2;
  });
  first.join();
  second.join();
  EXPECT_EQ(1234u, seenFirst);
  EXPECT_EQ(77u, seenSecond);
  EXPECT_EQ(0u, initialSecond);  // a new thread starts with no error
}

TEST(PlatformRuntimeTest, MemoryProbesAndZeroFill) {
  char buffer[16];
  memset(buffer, 0x5a, sizeof buffer);
  EXPECT_TRUE(IsBadReadPtr(nullptr, 4));
  EXPECT_TRUE(IsBadWritePtr(nullptr, 4));
  EXPECT_FALSE(IsBadReadPtr(buffer, sizeof buffer));
  EXPECT_FALSE(IsBadWritePtr(buffer, sizeof buffer));
  EXPECT_TRUE(IsBadCodePtr(nullptr));
  SecureZeroMemory(buffer, sizeof buffer);
  for (char c : buffer) EXPECT_EQ(0, c);
}

// Pages of the process's own: committed read-write pages come zeroed and go
// whole by their base; a reservation is there but cannot be read; locked
// pages stay in memory and, on Linux, out of core dumps.
TEST(PlatformRuntimeTest, PagesOfItsOwn) {
  const SIZE_T size = 3 * 4096 + 100;
  auto *pages = static_cast<uint8_t *>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, pages);
  EXPECT_EQ(0, pages[0]);
  EXPECT_EQ(0, pages[size - 1]);
  EXPECT_FALSE(IsBadWritePtr(pages, size));
  pages[size - 1] = 0x5a;
  EXPECT_TRUE(VirtualLock(pages, size));
#if defined(__linux__)
  EXPECT_TRUE(ambercrypt::test::LeftOutOfCoreDumps(pages));
  EXPECT_TRUE(ambercrypt::test::LeftOutOfCoreDumps(pages + size - 1));
#endif
  EXPECT_FALSE(VirtualFree(pages, size, MEM_RELEASE));  // a release takes no size
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0x5a, pages[size - 1]);
  EXPECT_TRUE(VirtualFree(pages, 0, MEM_RELEASE));
  EXPECT_FALSE(VirtualFree(pages, 0, MEM_RELEASE));  // released already

  void *reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(nullptr, reserved);
  EXPECT_TRUE(IsBadReadPtr(reserved, 1));
#if defined(__linux__)
  EXPECT_FALSE(ambercrypt::test::LeftOutOfCoreDumps(reserved));
#endif
  EXPECT_TRUE(VirtualFree(reserved, 0, MEM_RELEASE));
}

// Three pages: read-write, read-only, and not there at all.
class ThreePages {
 public:
  ThreePages() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    base_ = static_cast<uint8_t *>(VirtualAlloc(nullptr, 3 * page_, MEM_RESERVE, PAGE_NOACCESS));
    VirtualAlloc(base_, 2 * page_, MEM_COMMIT, PAGE_READWRITE);
    memset(base_, 0x5a, 2 * page_);
    DWORD old = 0;
    VirtualProtect(base_ + page_, page_, PAGE_READONLY, &old);
#else
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *p = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = static_cast<uint8_t *>(p);
    memset(base_, 0x5a, 2 * page_);
    mprotect(base_ + page_, page_, PROT_READ);
    munmap(base_ + 2 * page_, page_);
#endif
  }
  ~ThreePages() {
#if defined(_WIN32)
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, 2 * page_);
#endif
  }
  uint8_t *at(size_t offset) const { return base_ + offset; }
  size_t page() const { return page_; }

 private:
  uint8_t *base_ = nullptr;
  size_t page_ = 0;
};

TEST(PlatformRuntimeTest, ProbesTellMappedFromUnmappedMemory) {
  ThreePages pages;
  const size_t p = pages.page();
  struct Case {
    size_t offset, size;
    bool badRead, badWrite;
  };
  const Case cases[] = {
      {0, p, false, false},          // read-write
      {p - 4, 8, false, true},       // into the read-only page
      {p, p, false, true},           // read-only
      {p + 10, 0, false, false},     // nothing to probe
      {2 * p - 1, 2, true, true},    // into the missing page
      {2 * p + 10, 1, true, true},   // missing
      {0, 3 * p, true, true},        // all three
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " size " << c.size);
    EXPECT_EQ(c.badRead, IsBadReadPtr(pages.at(c.offset), c.size) != FALSE);
    EXPECT_EQ(c.badWrite, IsBadWritePtr(pages.at(c.offset), c.size) != FALSE);
  }
  // Probing for write leaves the bytes as they were.
  for (size_t i : {size_t{0}, p - 1}) EXPECT_EQ(0x5a, *pages.at(i));
  EXPECT_TRUE(IsBadCodePtr(reinterpret_cast<FARPROC>(pages.at(2 * p))));
  // Through void (*)(), the type any function pointer converts to.
  EXPECT_FALSE(IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&GetLastError))));
  // A range that wraps around the address space.
  EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<const void *>(~uintptr_t{0} - 2), 8));
}

// Probes keep per-thread state: threads probing at once, and a child of
// fork() probing after its parent did, get the same answers.
TEST(PlatformRuntimeTest, ProbesAnswerAlikeInThreadsAndForkedChildren) {
  ThreePages pages;
  const size_t p = pages.page();
  auto holds = [&] {
    return !IsBadReadPtr(pages.at(0), p) && !IsBadWritePtr(pages.at(0), p) && !IsBadReadPtr(pages.at(p), p) &&
           IsBadWritePtr(pages.at(p - 4), 8) && IsBadReadPtr(pages.at(2 * p - 1), 2) && *pages.at(p - 1) == 0x5a;
  };
  ASSERT_TRUE(holds());
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (!holds()) ++failures;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
#if !defined(_WIN32)
  pid_t child = fork();
  if (child == 0) _exit(holds() && holds() ? 0 : 1);
  ASSERT_GT(child, 0);
  EXPECT_TRUE(holds());  // the parent's pipe, used while the child uses its own
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(holds());
#endif
}

TEST(PlatformRuntimeTest, LocalTimeAsFileTime) {
  SYSTEMTIME st;
  memset(&st, 0, sizeof st);
  st.wYear = 1601;
  st.wMonth = 1;
  st.wDay = 1;
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  EXPECT_EQ(0u, ft.dwLowDateTime);
  EXPECT_EQ(0u, ft.dwHighDateTime);
  st.wYear = 2000;
  st.wMonth = 2;
  st.wDay = 29;
  st.wHour = 12;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  uint64_t ticks = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  EXPECT_EQ(UINT64_C(125962992000000000), ticks);
  st.wMonth = 13;
  EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
}

// Opening an existing file for reading, its type, reading to the end, and
// the refusals: a missing file, a directory, a closed handle.
TEST(PlatformRuntimeTest, FilesOpenReadAndClose) {
  std::string dir = ambercrypt::test::TempDirectory();
  std::string path = dir + "/file.bin";
  if (FILE *f = fopen(path.c_str(), "wb")) {
    fputs("0123456789", f);
    fclose(f);
  }
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_DISK), GetFileType(h));
  char buffer[8];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(8u, read);
  EXPECT_EQ(0, memcmp(buffer, "01234567", 8));
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(2u, read);
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(0u, read);  // the end of the file
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  struct Refusal {
    std::string path;
    DWORD error;
  } refusals[] = {{dir + "/missing.bin", ERROR_FILE_NOT_FOUND}, {dir, ERROR_ACCESS_DENIED}};
  for (const Refusal &r : refusals) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(r.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr))
        << r.path;
    EXPECT_EQ(r.error, GetLastError()) << r.path;
  }
  ambercrypt::test::RemoveTree(dir);
}

// The size asked for includes the terminator; the length returned does not.
TEST(PlatformRuntimeTest, EnvironmentVariables) {
#if defined(_WIN32)
  SetEnvironmentVariableA("AMBERCRYPT_TEST_VARIABLE", "value");
#else
  setenv("AMBERCRYPT_TEST_VARIABLE", "value", 1);
#endif
  EXPECT_EQ(6u, GetEnvironmentVariableA("AMBERCRYPT_TEST_VARIABLE", nullptr, 0));
  char small[5] = "xxxx";
  EXPECT_EQ(6u, GetEnvironmentVariableA("AMBERCRYPT_TEST_VARIABLE", small, sizeof small));
  char fits[6];
  EXPECT_EQ(5u, GetEnvironmentVariableA("AMBERCRYPT_TEST_VARIABLE", fits, sizeof fits));
  EXPECT_STREQ("value", fits);
  EXPECT_EQ(0u, GetEnvironmentVariableA("AMBERCRYPT_NO_SUCH_VARIABLE", fits, sizeof fits));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), GetLastError());
}

#if !defined(_WIN32)
// A setuid program sees none of its caller's environment: otherwise any
// caller could choose the directories a privileged host searches for a BSP
// module, and ask it about files the caller may not read.
TEST(PlatformRuntimeTest, PrivilegedProgramIgnoresTheCallersEnvironment) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a setuid program";
  std::string dir = ambercrypt::test::TempDirectory();
  chmod(dir.c_str(), 0755);
  std::string probe = dir + "/probe";
  std::string copy =
      std::string("cp '") + AMBERCRYPT_ENVIRONMENT_PROBE + "' '" + probe + "' && chmod 4755 '" + probe + "'";
  ASSERT_EQ(0, system(copy.c_str()));
  auto run = [&](const std::string &command) {
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
      char line[256];
      if (fgets(line, sizeof line, p) != nullptr) out = line;
      pclose(p);
    }
    return out;
  };
  std::string own = run("env PATH=/chosen/by/caller '" + probe + "'");
  std::string privileged =
      run("setpriv --reuid=65534 --regid=65534 --clear-groups env PATH=/chosen/by/caller '" + probe + "'");
  ambercrypt::test::RemoveTree(dir);
  EXPECT_EQ("/chosen/by/caller\n", own);
  EXPECT_EQ("(unset)\n", privileged);
}

// A FIFO opens at once, with no writer, and says what it is.
TEST(PlatformRuntimeTest, FifoOpensWithoutWaiting) {
  std::string dir = ambercrypt::test::TempDirectory();
  std::string path = dir + "/fifo";
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(static_cast<DWORD>(FILE_TYPE_PIPE), GetFileType(h));
  EXPECT_TRUE(CloseHandle(h));
  ambercrypt::test::RemoveTree(dir);
}
#endif


#if !defined(_WIN32)
// Local time follows TZ as the C library does, also when it changes.
TEST(PlatformRuntimeTest, LocalTimeFollowsTheZone) {
  const char *saved = getenv("TZ");
  std::string old = saved != nullptr ? saved : "";
  SYSTEMTIME utc, tokyo;
  setenv("TZ", "UTC0", 1);
  GetLocalTime(&utc);
  setenv("TZ", "JST-9", 1);
  GetLocalTime(&tokyo);
  if (saved != nullptr) {
    setenv("TZ", old.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  int minutes = ((tokyo.wHour - utc.wHour + 24) % 24) * 60 + tokyo.wMinute - utc.wMinute;
  EXPECT_NEAR(9 * 60, minutes, 1);  // a minute may turn between the two calls
}

// A setuid host ignores its caller's TZ: otherwise any caller could move the
// end of a lockout by hours.
TEST(PlatformRuntimeTest, PrivilegedHostIgnoresTheCallersZone) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a setuid program";
  std::string dir = ambercrypt::test::TempDirectory();
  chmod(dir.c_str(), 0755);
  std::string probe = dir + "/probe";
  std::string copy = std::string("cp '") + AMBERCRYPT_LOCAL_TIME_PROBE + "' '" + probe + "' && chmod 4755 '" + probe + "'";
  ASSERT_EQ(0, system(copy.c_str()));
  auto run = [&](const std::string &command) {
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
      char line[32];
      if (fgets(line, sizeof line, p) != nullptr) out = line;
      pclose(p);
    }
    return out;
  };
  std::string system = run("env -u TZ '" + probe + "'");
  std::string attacked = run("env TZ=XXX-14 setpriv --reuid=65534 --regid=65534 --clear-groups '" + probe + "'");
  std::string again = run("env -u TZ '" + probe + "'");
  ambercrypt::test::RemoveTree(dir);
  ASSERT_EQ(6u, system.size()) << system;
  EXPECT_TRUE(attacked == system || attacked == again) << attacked << " vs " << system;
}
#endif

class HandleTest : public ambercrypt::test::StoreTest {};

#if !defined(_WIN32)
// A handle that was closed, or never was one, is refused as CryptoAPI refuses
// it (ERROR_INVALID_PARAMETER), and nothing behind it is read: under
// AddressSanitizer a use of the freed object would stop the test.
TEST_F(HandleTest, ClosedAndForgedHandlesAreRefused) {
  HCRYPTPROV provider = 0;
  ASSERT_TRUE(CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptDestroyHash(hash));
  ASSERT_TRUE(CryptReleaseContext(provider, 0));
  int local = 0;
  const HCRYPTHASH forgedHash = reinterpret_cast<HCRYPTHASH>(&local);
  for (HCRYPTHASH h : {hash, forgedHash}) {
    BYTE byte = 1;
    EXPECT_FALSE(CryptHashData(h, &byte, 1, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  HCRYPTHASH another = 0;
  EXPECT_FALSE(CryptCreateHash(provider, CALG_SHA1, 0, 0, &another));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // A handle of one kind is not taken for another.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, "handle-kinds");
  if (mutex != nullptr) {
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(reinterpret_cast<HKEY>(mutex)));
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FALSE(CloseHandle(mutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  }
}
#endif

// A registry key closed twice: the second close is refused on both targets.
TEST_F(HandleTest, RegistryKeyClosedTwice) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dravelo\\Tests", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
}

}  // namespace
