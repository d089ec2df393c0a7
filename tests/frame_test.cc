// The library frame: attach and detach with a chosen host, the export frame's
// codes before, during and after attach, and the flag conversion.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "crypto/base64.h"
#include "frame/entry.h"
#include "frame/export_frame.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace ambercrypt {
namespace {

std::string AppKeyOf(const std::string &name) {
  test::Bytes digest = test::Sha1(name);
  char text[40];
  Base64Encode(digest.data(), digest.size(), text, nullptr);
  return text;
}

// Every export with arguments that are harmless for every method.
std::vector<uint32_t> CallEveryExport() {
  BioAPI_BIR bir;
  memset(&bir, 0, sizeof bir);
  ResponseMethodRecord method;
  memset(&method, 0, sizeof method);
  BioAPI_UUID uuid = {0};
  return {
      KoBioFPI_CheckMode(0),
      KoBioFPI_DecryptBIR(nullptr, nullptr),
      KoBioFPI_EncryptBIR(nullptr, nullptr),
      KoBioFPI_IdentifySecurityStatas(nullptr, 0, nullptr, nullptr),
      KoBioFPI_UpdateIdentifyStatus(nullptr, nullptr, 0),
      KoBioFPI_UpdateVerifyStatus(0, nullptr, 0, 0),
      KoBioFPI_VerifySecurityStatas(nullptr, 0, nullptr, nullptr),
      KoBioSPI_DeleteParameter(nullptr),
      KoBioSPI_DigitalSignBIR(&bir, &bir),
      KoBioSPI_IdentifyChallenge(nullptr, nullptr),
      KoBioSPI_InitCerfificate(nullptr, nullptr, nullptr),
      KoBioSPI_InitIdentifyParameter(nullptr, 0, 0, 0, 0, method, nullptr),
      KoBioSPI_InitSecretKey(nullptr, 0, nullptr, nullptr),
      KoBioSPI_InitVerifyParameter(nullptr, 0, 0, 0, 0, method, nullptr),
      KoBioSPI_RestrictBSPFunction(nullptr, 0, 0, nullptr),
      KoBioSPI_SetEndUserParameter(nullptr, nullptr),
      KoBioSPI_VerifyBSP(&uuid, nullptr),
      KoBioSPI_VerifyChallenge(nullptr, nullptr),
      KoBioSPI_VerifyReferenceBIR(nullptr),
  };
}

class FrameTest : public test::StoreTest {};

TEST_F(FrameTest, EveryExportAnswers257WithoutItsObject) {
  test::Detach();
  for (uint32_t code : CallEveryExport()) EXPECT_EQ(AMBER_NOT_INITIALISED, code);
  test::AttachAs("C:\\Apps\\Scanner.EXE");
  test::Detach();
  for (uint32_t code : CallEveryExport()) EXPECT_EQ(AMBER_NOT_INITIALISED, code);
}

TEST_F(FrameTest, AttachNamesTheHostApplication) {
  test::AttachAs("C:\\Apps\\Scanner.EXE");
  ASSERT_NE(nullptr, AttachedSpiContext());
  ASSERT_NE(nullptr, AttachedFpiContext());
  EXPECT_STREQ("C:\\Apps\\Scanner.EXE", g_hostPath);
  const std::string expected = AppKeyOf("Scanner");
  ASSERT_EQ(29u, expected.size());
  EXPECT_STREQ(expected.c_str(), AttachedFpiContext()->appKey());
  EXPECT_STREQ(expected.c_str(), AttachedSpiContext()->appKey());
}

TEST_F(FrameTest, AttachWithoutBaseKeyStillAnswers) {
  test::AttachAs("C:\\Apps\\Scanner.EXE");
  EXPECT_EQ(nullptr, AttachedFpiContext()->store().keyMaterial());
  EXPECT_EQ(0u, AttachedFpiContext()->store().keyMaterialLength());
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG, KoBioFPI_CheckMode(0));
  EXPECT_EQ(0x8000807u, KoBioFPI_CheckMode(0x1));
}

TEST_F(FrameTest, SigningWithNullOutputAnswers0x8000103) {
  test::AttachAs("C:\\Apps\\Scanner.EXE");
  BioAPI_BIR bir;
  memset(&bir, 0, sizeof bir);
  EXPECT_EQ(AMBER_SIGN_NULL_OUTPUT, KoBioSPI_DigitalSignBIR(&bir, nullptr));
  EXPECT_EQ(0x8000103u, KoBioSPI_DigitalSignBIR(nullptr, nullptr));
}

TEST_F(FrameTest, DetachAndReattachInOneProcess) {
  test::AttachAs("/opt/apps/first.bin");
  std::string first = AttachedFpiContext()->appKey();
  test::AttachAs("/opt/apps/second");
  EXPECT_NE(first, std::string(AttachedFpiContext()->appKey()));
  EXPECT_STREQ(AppKeyOf("second").c_str(), AttachedFpiContext()->appKey());
  test::Detach();
  EXPECT_EQ(nullptr, AttachedFpiContext());
  EXPECT_EQ(nullptr, AttachedSpiContext());
}

// Host paths longer than MAX_PATH: the name comes from the whole path, never
// from the 259 characters g_hostPath keeps.
TEST_F(FrameTest, LongHostPathsNameTheirOwnApplication) {
  const std::string dir = "C:\\" + std::string(254, 'd') + "\\";  // 258 characters
  std::string deep = "/srv";
  while (deep.size() < 33000) deep += "/" + std::string(200, 's');
  struct Case {
    std::string path, name;
  };
  const Case cases[] = {
      {dir + "enc.exe", "enc"},  // cut to 259 characters it names "e"
      {"/" + std::string(250, 'a') + "/" + std::string(250, 'b') + "/Scanner", "Scanner"},
      {deep + "/tool.v2.exe", "tool.v2"},
      {dir + std::string(255, 'n'), std::string(255, 'n')},
  };
  ASSERT_EQ("C:\\" + std::string(254, 'd') + "\\e", std::string(cases[0].path, 0, MAX_PATH - 1));
  for (const Case &c : cases) {
    test::AttachAs(c.path.c_str());
    ASSERT_NE(nullptr, AttachedFpiContext());
    const std::string expected = AppKeyOf(c.name);
    EXPECT_STREQ(expected.c_str(), AttachedFpiContext()->appKey()) << c.path.size();
    EXPECT_STREQ(expected.c_str(), AttachedSpiContext()->appKey()) << c.path.size();
    EXPECT_EQ(std::string(c.path, 0, MAX_PATH - 1), g_hostPath);
  }
}

// A host whose name cannot be had whole serves no application: its FPI
// exports answer as for an application without settings, and the
// administration exports still work for the applications they name.
TEST_F(FrameTest, HostWithoutAWholeNameServesNoApplication) {
  test::ProvisionInstallation("Admin123", 5);
  const std::string paths[] = {
      "C:\\Apps\\" + std::string(256, 'n') + ".exe",  // cut to 255 it names another
      "/apps/" + std::string(300, 'n'),
      "C:\\Apps\\",
      "C:\\Apps\\.exe",
  };
  for (const std::string &path : paths) {
    test::AttachAs(path.c_str());
    ASSERT_NE(nullptr, AttachedFpiContext());
    ASSERT_NE(nullptr, AttachedSpiContext());
    EXPECT_EQ(nullptr, AttachedFpiContext()->appKey()) << path;
    EXPECT_EQ(nullptr, AttachedSpiContext()->appKey()) << path;
    EXPECT_EQ(0x8000807u, KoBioFPI_CheckMode(1)) << path;
    BioAPI_BIR input, output;
    memset(&input, 0, sizeof input);
    memset(&output, 0, sizeof output);
    EXPECT_EQ(0x8000801u, KoBioFPI_EncryptBIR(&input, &output)) << path;
    EXPECT_NE(nullptr, AttachedSpiContext()->store().keyMaterial()) << path;
    EXPECT_EQ(0u, KoBioSPI_RestrictBSPFunction("Other", 1, 0, "Admin123")) << path;
  }
}

// GetModuleFileNameA over a chosen path, cutting it as Windows since Vista
// does (terminated) or as Windows XP and Wine do (not terminated).
std::string g_modulePath;
bool g_terminatesCutPath = true;
DWORD WINAPI ModuleFileNameOf(HMODULE, LPSTR buffer, DWORD size) {
  const DWORD length = static_cast<DWORD>(g_modulePath.size());
  if (length < size) {
    memcpy(buffer, g_modulePath.c_str(), length + 1);
    return length;
  }
  memcpy(buffer, g_modulePath.data(), size);
  if (g_terminatesCutPath) buffer[size - 1] = '\0';
  return size;
}
DWORD WINAPI ModuleFileNameFails(HMODULE, LPSTR, DWORD) { return 0; }

TEST(HostPathTest, ReadAgainUntilWhole) {
  struct Case {
    size_t length;
    bool whole;
  };
  const Case cases[] = {{12, true},   {259, true},   {260, true},    {261, true},    {265, true},
                        {519, true},  {520, true},   {4096, true},   {32767, true},  {32768, false},
                        {40000, false}};
  for (bool terminates : {true, false}) {
    g_terminatesCutPath = terminates;
    for (const Case &c : cases) {
      g_modulePath = "C:\\" + std::string(c.length - 9, 'p') + "\\x.exe";
      ASSERT_EQ(c.length, g_modulePath.size());
      std::string path = "unchanged";
      EXPECT_EQ(c.whole, ReadHostPath(&path, ModuleFileNameOf)) << c.length << " " << terminates;
      EXPECT_EQ(c.whole ? g_modulePath : "unchanged", path) << c.length << " " << terminates;
    }
  }
  std::string path;
  EXPECT_FALSE(ReadHostPath(&path, ModuleFileNameFails));
  // The platform's own function gives this program's path.
  ASSERT_TRUE(ReadHostPath(&path));
  char name[_MAX_FNAME];
  ASSERT_TRUE(ApplicationNameFromPath(path.c_str(), name));
  EXPECT_STREQ("frame_test", name);
}

// ---- A real host at a long path ---------------------------------------------

#if defined(_WIN32)
// Paths past MAX_PATH need the wide functions and, for files, the \\?\ form.
std::wstring Wide(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }
std::wstring Extended(const std::string &path) { return L"\\\\?\\" + Wide(path); }

bool MakeDirectory(const std::string &path) { return CreateDirectoryW(Extended(path).c_str(), nullptr) != 0; }

bool CopyProgram(const std::string &from, const std::string &to) {
  return CopyFileW(Wide(from).c_str(), Extended(to).c_str(), TRUE) != 0;
}

void RemoveProgram(const std::string &program, const std::string &dir) {
  DeleteFileW(Extended(program).c_str());
  RemoveDirectoryW(Extended(dir).c_str());
}

const char kSeparator = '\\';
const char kProgramSuffix[] = ".exe";
#else
bool MakeDirectory(const std::string &path) { return mkdir(path.c_str(), 0700) == 0; }

bool CopyProgram(const std::string &from, const std::string &to) {
  const std::string bytes = test::ReadFile(from);
  FILE *out = fopen(to.c_str(), "wb");
  if (bytes.empty() || out == nullptr) return false;
  bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return fclose(out) == 0 && written && chmod(to.c_str(), 0700) == 0;
}

void RemoveProgram(const std::string &program, const std::string &dir) {
  unlink(program.c_str());
  rmdir(dir.c_str());
}

const char kSeparator = '/';
const char kProgramSuffix[] = "";
#endif

// A host program run from a path of more than 260 characters whose first 259
// characters end in "e": it must be the application "enc", not "e".
TEST_F(FrameTest, ExecutableAtALongPathNamesItsOwnApplication) {
  AMBER_SKIP_IF_WINE_DIFFERS();
  const std::string base = test::TempDirectory();
  ASSERT_LT(base.size(), 250u);
  const std::string dir = base + kSeparator + std::string(258 - base.size() - 2, 'd');
  const std::string program = dir + kSeparator + "enc" + kProgramSuffix;
  ASSERT_EQ(dir + kSeparator + "e", std::string(program, 0, MAX_PATH - 1));
  ASSERT_GT(program.size(), static_cast<size_t>(MAX_PATH));
  ASSERT_TRUE(MakeDirectory(dir)) << dir;
  ASSERT_TRUE(CopyProgram(test::NativePath(AMBERCRYPT_HOST_PROBE), program)) << program;
  const std::string answer = base + kSeparator + "answer.txt";
  EXPECT_EQ(0, test::RunAndWait(program, {answer})) << program;
  EXPECT_EQ(AppKeyOf("enc"), test::ReadFile(answer));
  remove(answer.c_str());
  RemoveProgram(program, dir);
  test::RemoveTree(base);
}

TEST(ExportFrameTest, MapsCodes) {
  int object = 0;
  EXPECT_EQ(AMBER_NOT_INITIALISED, Frame(static_cast<int *>(nullptr), [](int &) { return 0u; }));
  EXPECT_EQ(0u, Frame(&object, [](int &) { return 0u; }));
  EXPECT_EQ(0x8000805u, Frame(&object, [](int &) { return AMBER_E_BAD_APPLICATION_NAME; }));
  EXPECT_EQ(0x8000103u, Frame(&object, [](int &) { return AMBER_SIGN_NULL_OUTPUT; }));
  EXPECT_EQ(0x8000807u, Frame(&object, [](int &) -> uint32_t { throw std::bad_alloc(); }));
  EXPECT_EQ(0x8000807u, Frame(&object, [](int &) -> uint32_t { throw std::length_error("x"); }));
}

TEST(ExportFrameTest, OnlyTheByteOneIsTrue) {
  EXPECT_TRUE(FlagFromByte(1));
  for (int byte : {0, 2, 3, 0x80, 0xff}) EXPECT_FALSE(FlagFromByte(static_cast<uint8_t>(byte))) << byte;
}

}  // namespace
}  // namespace ambercrypt
