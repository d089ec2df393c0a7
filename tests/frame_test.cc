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
  ASSERT_NE(nullptr, g_spiCtrl);
  ASSERT_NE(nullptr, g_fpiCtrl);
  EXPECT_STREQ("C:\\Apps\\Scanner.EXE", g_hostPath);
  const std::string expected = AppKeyOf("Scanner");
  ASSERT_EQ(29u, expected.size());
  EXPECT_STREQ(expected.c_str(), g_fpiCtrl->appKey);
  EXPECT_STREQ(expected.c_str(), g_spiCtrl->appKey);
}

TEST_F(FrameTest, AttachWithoutBaseKeyStillAnswers) {
  test::AttachAs("C:\\Apps\\Scanner.EXE");
  EXPECT_EQ(nullptr, g_fpiCtrl->keyMaterial);
  EXPECT_EQ(0u, g_fpiCtrl->keyMaterialLength);
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
  std::string first = g_fpiCtrl->appKey;
  test::AttachAs("/opt/apps/second");
  EXPECT_NE(first, std::string(g_fpiCtrl->appKey));
  EXPECT_STREQ(AppKeyOf("second").c_str(), g_fpiCtrl->appKey);
  test::Detach();
  EXPECT_EQ(nullptr, g_fpiCtrl);
  EXPECT_EQ(nullptr, g_spiCtrl);
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
