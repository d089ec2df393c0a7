// The files an administrator names to the tools (tools/tool_platform.h), on
// both targets: written and read back, a private file of this account
// rewritten in place, and what is not a regular file on a disk refused
// without waiting on it; on Linux also links, FIFOs and files open to others.
// Also a secret file read byte by byte, and the UTC calendar.
#include "tools/tool_platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "support/test_support.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace ambercrypt {
namespace {

#if defined(_WIN32)
const char kNullDevice[] = "NUL";
#else
const char kNullDevice[] = "/dev/null";
#endif

class ToolPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::TempDirectory(); }
  void TearDown() override { test::RemoveTree(dir_); }
  std::string Path(const char *name) const { return dir_ + "/" + name; }

  static bool Write(const std::string &path, const std::string &data, std::string *error) {
    tools::NamedFile file;
    return file.CreateForWriting(path, error) && file.Write(data.data(), data.size()) && file.Close();
  }
  static bool Read(const std::string &path, std::string *data, std::string *error, bool *missing = nullptr) {
    tools::NamedFile file;
    bool opened = file.OpenForReading(path, error);
    if (missing != nullptr) *missing = file.missing();
    if (!opened) return false;
    data->clear();
    char chunk[7];  // several reads for even a short file
    long n;
    while ((n = file.Read(chunk, sizeof chunk)) > 0) data->append(chunk, static_cast<size_t>(n));
    return n == 0;
  }

  std::string dir_;
};

TEST_F(ToolPlatformTest, WritesNewFilesAndRewritesItsOwn) {
  std::string error, data;
  ASSERT_TRUE(Write(Path("out.bir"), "a longer first content", &error)) << error;
  ASSERT_TRUE(Read(Path("out.bir"), &data, &error)) << error;
  EXPECT_EQ("a longer first content", data);
  ASSERT_TRUE(Write(Path("out.bir"), "shorter", &error)) << error;
  ASSERT_TRUE(Read(Path("out.bir"), &data, &error)) << error;
  EXPECT_EQ("shorter", data);
}

TEST_F(ToolPlatformTest, RefusesWhatIsNotARegularFile) {
  std::string error, data;
  bool missing = true;
  EXPECT_FALSE(Read(kNullDevice, &data, &error, &missing));
  EXPECT_NE(std::string::npos, error.find("is not a regular file")) << error;
  EXPECT_FALSE(missing);
  EXPECT_FALSE(Write(kNullDevice, "data", &error));
  EXPECT_NE(std::string::npos, error.find("is not a regular file")) << error;
  EXPECT_FALSE(Read(dir_, &data, &error));
  EXPECT_FALSE(Write(dir_, "data", &error));
  EXPECT_FALSE(Read(Path("absent"), &data, &error, &missing));
  EXPECT_TRUE(missing);
}

// A secret file is read a byte at a time to its end, a line break and a
// carriage return as they are; a file that is not there does not open.
TEST_F(ToolPlatformTest, SecretBytesReadAFileToItsEnd) {
  std::string error;
  ASSERT_TRUE(Write(Path("secret"), "Pass\r\nx", &error)) << error;
  tools::SecretBytes in;
  ASSERT_TRUE(in.Open(Path("secret")));
  std::string read;
  char c = 0;
  while (in.Next(&c) == 1) read += c;
  EXPECT_EQ("Pass\r\nx", read);
  EXPECT_EQ(0, in.Next(&c));
  tools::SecretBytes absent;
  EXPECT_FALSE(absent.Open(Path("absent")));
}

// Seconds since 1970 as a UTC calendar, a leap day and a century included.
TEST_F(ToolPlatformTest, UtcCalendarOfSeconds) {
  const struct {
    time_t seconds;
    int year, month, day, hour, minute, second;
  } cases[] = {
      {0, 1970, 1, 1, 0, 0, 0},
      {951782400, 2000, 2, 29, 0, 0, 0},
      {1767225599, 2025, 12, 31, 23, 59, 59},
      {4102444800, 2100, 1, 1, 0, 0, 0},
  };
  for (const auto &c : cases) {
    struct tm parts {};
    ASSERT_TRUE(tools::UtcCalendar(c.seconds, &parts)) << c.seconds;
    EXPECT_EQ(c.year, parts.tm_year + 1900) << c.seconds;
    EXPECT_EQ(c.month, parts.tm_mon + 1) << c.seconds;
    EXPECT_EQ(c.day, parts.tm_mday) << c.seconds;
    EXPECT_EQ(c.hour, parts.tm_hour) << c.seconds;
    EXPECT_EQ(c.minute, parts.tm_min) << c.seconds;
    EXPECT_EQ(c.second, parts.tm_sec) << c.seconds;
  }
}

#if !defined(_WIN32)
std::string Mode(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "absent";
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return text;
}

TEST_F(ToolPlatformTest, NewFilesArePrivateWhateverTheUmask) {
  mode_t old = umask(0);
  std::string error;
  bool written = Write(Path("new.bir"), "data", &error);
  umask(old);
  ASSERT_TRUE(written) << error;
  EXPECT_EQ("0600", Mode(Path("new.bir")));
}

// Each is refused and left as it was: nothing written, waited on, followed
// or chmod-ed.
TEST_F(ToolPlatformTest, RefusesLinksFifosAndFilesOpenToOthers) {
  ASSERT_EQ(0, system(("cd '" + dir_ + "' && echo kept >victim && chmod 0600 victim && ln -s victim link && " +
                       "ln -s never-made dangling && " +
                       "echo kept >open && chmod 0644 open && echo kept >linked && chmod 0600 linked && " +
                       "ln linked second && mkfifo fifo")
                          .c_str()));
  struct Case {
    const char *name, *why;
  };
  const Case cases[] = {
      {"link", "is a symbolic link"},   {"dangling", "is a symbolic link"}, {"open", "exists with mode 0644"},
      {"linked", "more than one link"}, {"fifo", "is not a regular file"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_FALSE(Write(Path(c.name), "overwritten", &error));
    EXPECT_NE(std::string::npos, error.find(c.why)) << error;
  }
  for (const char *name : {"victim", "open", "linked"}) EXPECT_EQ("kept\n", test::ReadFile(Path(name))) << name;
  EXPECT_EQ("0644", Mode(Path("open")));
  EXPECT_EQ("absent", Mode(Path("never-made")));
  std::string data, error;
  EXPECT_FALSE(Read(Path("fifo"), &data, &error));
  EXPECT_NE(std::string::npos, error.find("is not a regular file")) << error;
}
#endif

}  // namespace
}  // namespace ambercrypt
