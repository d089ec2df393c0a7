// The digest check of BSP module files, through the export: the argument
// checks in their order, the registry entry, the direct open and the PATH
// search with the platform's separator, and what a neighbour may plant on
// PATH (long directories, FIFOs, devices, directories). Expected digests are
// published SHA-1 values, not this library's output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "store/settings.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <direct.h>
#endif

namespace ambercrypt {
namespace {

constexpr uint32_t F = AMBER_ERROR_FLAG;
constexpr char kSeparator = static_cast<char>(AMBERCRYPT_PATH_LIST_SEPARATOR);
const BioAPI_UUID kUuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                           0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
const char kUuidText[] = "{00112233-4455-6677-8899-aabbccddeeff}";
// SHA-1("abc") = a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d, in Base64.
const char kAbcDigest[] = "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=";
// SHA-1 of one million "a" = 34aa973c d4c4daa4 f61eeb2b dbad2731 6534016f.
const char kMillionADigest[] = "NKqXPNTE2qT2Husr260nMWU0AW8=";

void WriteFileBytes(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

void MakeDirectory(const std::string &path) {
#if defined(_WIN32)
  ASSERT_EQ(0, _mkdir(path.c_str())) << path;
#else
  ASSERT_EQ(0, mkdir(path.c_str(), 0700)) << path;
#endif
}

int RemoveEmptyDirectory(const std::string &path) {
#if defined(_WIN32)
  return _rmdir(path.c_str());
#else
  return rmdir(path.c_str());
#endif
}

void SetPath(const char *value) {
#if defined(_WIN32)
  SetEnvironmentVariableA("PATH", value);
#else
  if (value == nullptr) {
    unsetenv("PATH");
  } else {
    setenv("PATH", value, 1);
  }
#endif
}

// Registers the module path of a BSP as its installation would.
void ProvisionBsp(const std::string &modulePath, const char *uuidText = kUuidText) {
  std::string key = std::string(kBspKeyPath) + uuidText;
  test::Bytes value(modulePath.begin(), modulePath.end());
  value.push_back(0);
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(key.c_str(), "path", REG_SZ, value));
}

class BspVerifyTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::AttachAs("C:\\Apps\\Checker.EXE");
    char *path = getenv("PATH");
    hadPath_ = path != nullptr;
    if (hadPath_) savedPath_ = path;
    dir_ = test::TempDirectory();
  }
  void TearDown() override {
    SetPath(hadPath_ ? savedPath_.c_str() : nullptr);
    test::RemoveTree(dir_);
    StoreTest::TearDown();
  }
  // A directory below the test's own, made anew.
  std::string Sub(const std::string &name) {
    std::string path = dir_ + kSlash + name;
    MakeDirectory(path);
    return path;
  }

#if defined(_WIN32)
  static constexpr char kSlash = '\\';
#else
  static constexpr char kSlash = '/';
#endif
  std::string dir_;
  std::string savedPath_;
  bool hadPath_ = false;
};

TEST_F(BspVerifyTest, ArgumentsAreCheckedInOrder) {
  ProvisionBsp(dir_ + kSlash + "unused.bin");
  const BioAPI_UUID *unreadable = static_cast<const BioAPI_UUID *>(test::InaccessibleAddress());
  const std::string tooLong(256, 'A');
  const std::string longest(255, 'A');
  struct Case {
    const char *name;
    const BioAPI_UUID *uuid;
    const char *digest;
    uint32_t expected;
  } cases[] = {
      {"null digest before an unreadable UUID", unreadable, nullptr, F | AMBER_E_BSP_DIGEST_MISMATCH},
      {"unreadable UUID before an empty digest", unreadable, "", F | AMBER_E_BSP_NOT_FOUND},
      {"null UUID", nullptr, kAbcDigest, F | AMBER_E_BSP_NOT_FOUND},
      {"readable UUID, empty digest", &kUuid, "", F | AMBER_E_BSP_DIGEST_MISMATCH},
      {"digest of 256 characters", &kUuid, tooLong.c_str(), F | AMBER_E_BSP_DIGEST_MISMATCH},
      // 255 characters pass the checks; the module is then looked for.
      {"digest of 255 characters", &kUuid, longest.c_str(), F | AMBER_E_BSP_NOT_FOUND},
  };
  SetPath(nullptr);
  for (const Case &c : cases) EXPECT_EQ(c.expected, KoBioSPI_VerifyBSP(c.uuid, c.digest)) << c.name;
#if !defined(_WIN32)
  // A UUID whose first byte is readable and whose last bytes run into an
  // unmapped page is not readable either.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, pages);
  ASSERT_EQ(0, munmap(static_cast<uint8_t *>(pages) + page, page));
  const auto *straddling = reinterpret_cast<const BioAPI_UUID *>(static_cast<uint8_t *>(pages) + page - 1);
  EXPECT_EQ(F | AMBER_E_BSP_NOT_FOUND, KoBioSPI_VerifyBSP(straddling, kAbcDigest));
  munmap(pages, page);
#endif
}

TEST_F(BspVerifyTest, AbsolutePathIsDigestedAndComparedExactly) {
  std::string module = dir_ + kSlash + "module.bin";
  WriteFileBytes(module, "abc");
  ProvisionBsp(module);
  // The absolute path is opened as it stands: no PATH is needed.
  SetPath(nullptr);
  EXPECT_EQ(0u, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));
  std::string withLineFeed = std::string(kAbcDigest) + "\n";
  std::string otherCase = kAbcDigest;
  otherCase[0] = 'Q';
  std::string shorter(kAbcDigest, 27);
  for (const std::string &wrong : {withLineFeed, otherCase, shorter, std::string(kMillionADigest)}) {
    EXPECT_EQ(F | AMBER_E_BSP_DIGEST_MISMATCH, KoBioSPI_VerifyBSP(&kUuid, wrong.c_str())) << wrong;
  }
}

TEST_F(BspVerifyTest, ModuleLargerThanOneReadIsDigestedWhole) {
  std::string module = dir_ + kSlash + "large.bin";
  WriteFileBytes(module, std::string(1000000, 'a'));
  ProvisionBsp(module);
  EXPECT_EQ(0u, KoBioSPI_VerifyBSP(&kUuid, kMillionADigest));
}

TEST_F(BspVerifyTest, EntryIsFoundWhateverTheCaseOfItsKey) {
  std::string module = dir_ + kSlash + "module.bin";
  WriteFileBytes(module, "abc");
  ProvisionBsp(module, "{00112233-4455-6677-8899-AABBCCDDEEFF}");
  EXPECT_EQ(0u, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));
}

TEST_F(BspVerifyTest, MissingEntryValueOrFileIsNotFound) {
  const BioAPI_UUID other = {1};
  EXPECT_EQ(F | AMBER_E_BSP_NOT_FOUND, KoBioSPI_VerifyBSP(&other, kAbcDigest)) << "no entry";
  std::string key = std::string(kBspKeyPath) + kUuidText;
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(key.c_str(), "other", REG_SZ, test::Bytes{'x', 0}));
  EXPECT_EQ(F | AMBER_E_BSP_NOT_FOUND, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest)) << "no path value";
  ProvisionBsp("ambercrypt-no-such-module.bin");
  SetPath(Sub("empty").c_str());
  EXPECT_EQ(F | AMBER_E_BSP_NOT_FOUND, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest)) << "not on PATH";
  SetPath(nullptr);
  EXPECT_EQ(F | AMBER_E_BSP_NOT_FOUND, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest)) << "no PATH";
}

TEST_F(BspVerifyTest, EmptyModuleHasNoDigest) {
  std::string module = dir_ + kSlash + "empty.bin";
  WriteFileBytes(module, "");
  ProvisionBsp(module);
  EXPECT_EQ(F | AMBER_E_SETTING_UNAVAILABLE, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));
}

// PATH in this platform's own form: absolute native directories (with a drive
// letter on Windows) joined by the platform's separator, consecutive
// separators naming no directory.
TEST_F(BspVerifyTest, BareNameIsFoundAlongPath) {
  std::string first = Sub("first"), second = Sub("second");
  WriteFileBytes(second + kSlash + "ambercrypt-path-module.bin", "abc");
  ProvisionBsp("ambercrypt-path-module.bin");
  std::string path = first + kSeparator + kSeparator + second + kSeparator;
  SetPath(path.c_str());
  EXPECT_EQ(0u, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));

  // A file of the same name earlier on PATH is the one digested.
  WriteFileBytes(first + kSlash + "ambercrypt-path-module.bin", "not abc");
  EXPECT_EQ(F | AMBER_E_BSP_DIGEST_MISMATCH, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));
}

TEST_F(BspVerifyTest, OtherPlatformsSeparatorSplitsNothing) {
  std::string second = Sub("second");
  WriteFileBytes(second + kSlash + "ambercrypt-path-module.bin", "abc");
  ProvisionBsp("ambercrypt-path-module.bin");
  const char other = kSeparator == ';' ? ':' : ';';
  std::string path = Sub("first") + other + second;
  SetPath(path.c_str());
  EXPECT_EQ(F | AMBER_E_BSP_NOT_FOUND, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));
}

// A directory whose candidate would be longer than 260 characters is skipped,
// not cut short: cut at 260, this one would name a file planted with the
// expected contents.
TEST_F(BspVerifyTest, OverlongCandidateIsSkippedNotTruncated) {
  const std::string name = "ambercrypt-long.bin";  // 19 characters
  // candidate = longDir + "/" + name, 262 characters; its first 260 name
  // longDir/ambercrypt-long.b.
  size_t padding = 262 - 1 - name.size() - (dir_.size() + 1);
  ASSERT_LT(padding, 250u);
  std::string longDir = Sub(std::string(padding, 'd'));
  std::string planted = longDir + kSlash + name.substr(0, name.size() - 2);
  ASSERT_EQ(260u, planted.size());
  WriteFileBytes(planted, "abc");
#if !defined(_WIN32)
  // The module itself at its full length too: a search that did not skip the
  // long candidate would find it.
  const std::string full = longDir + kSlash + name;
  WriteFileBytes(full, "abc");
#endif
  ProvisionBsp(name);
  SetPath(longDir.c_str());
  EXPECT_EQ(F | AMBER_E_BSP_NOT_FOUND, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));

  // Skipped, the search goes on to the next directory.
  std::string good = Sub("good");
  WriteFileBytes(good + kSlash + name, "abc");
  std::string path = longDir + kSeparator + good;
  SetPath(path.c_str());
  EXPECT_EQ(0u, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));
  // Removed here: the shell that removes test directories on Windows stops
  // at paths this long.
  EXPECT_EQ(0, remove(planted.c_str()));
#if !defined(_WIN32)
  EXPECT_EQ(0, remove(full.c_str()));
#endif
  EXPECT_EQ(0, RemoveEmptyDirectory(longDir));
}

// What a neighbour may plant under the module's name in an earlier PATH
// directory: none of it is a module, and none of it holds the search up.
TEST_F(BspVerifyTest, PlantedNonFilesAreNotModules) {
  const std::string name = "ambercrypt-planted.bin";
  std::string good = Sub("good");
  WriteFileBytes(good + kSlash + name, "abc");
  ProvisionBsp(name);
  struct Plant {
    const char *what;
    std::string dir;
  };
  std::vector<Plant> plants;
  {
    std::string d = Sub("directory");
    MakeDirectory(d + kSlash + name);
    plants.push_back({"a directory", d});
  }
#if !defined(_WIN32)
  {
    std::string d = Sub("fifo");
    ASSERT_EQ(0, mkfifo((d + "/" + name).c_str(), 0600));
    plants.push_back({"a FIFO no one writes", d});
  }
  {
    std::string d = Sub("device");
    ASSERT_EQ(0, symlink("/dev/zero", (d + "/" + name).c_str()));
    plants.push_back({"a link to an endless device", d});
  }
#endif
  for (const Plant &p : plants) {
    SetPath(p.dir.c_str());
    EXPECT_EQ(F | AMBER_E_BSP_NOT_FOUND, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest)) << p.what;
    std::string path = p.dir + kSeparator + good;
    SetPath(path.c_str());
    EXPECT_EQ(0u, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest)) << p.what;
  }
}

#if !defined(_WIN32)
// A module that opens but cannot be read fails; it is not digested as empty
// or as whatever was read before the error. Reading /proc/self/mem from its
// start (an address never mapped) fails with EIO.
TEST_F(BspVerifyTest, ReadErrorHasNoDigest) {
  ProvisionBsp("/proc/self/mem");
  // SHA-1 of zero bytes: what a digest of the failed read would be.
  EXPECT_EQ(F | AMBER_E_SETTING_UNAVAILABLE, KoBioSPI_VerifyBSP(&kUuid, "2jmj7l5rSw0yVb/vlWAYkK/YBwk="));
  EXPECT_EQ(F | AMBER_E_SETTING_UNAVAILABLE, KoBioSPI_VerifyBSP(&kUuid, kAbcDigest));
}
#endif

}  // namespace
}  // namespace ambercrypt
