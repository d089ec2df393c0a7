// The runtime functions of the platform layer, against the real ones on
// Windows: module path, path splitting, number text, last error, probes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <atomic>

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

}  // namespace
