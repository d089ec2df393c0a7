// The administration layer under ambercrypt-admin (tools/adminlib), on both
// targets: an installation made and found, the administrator password as the
// library checks it, the tool's index of names, and one application's
// settings read back as the library's exports stored them, secrets only when
// revealed.
#include "tools/adminlib/admin_layer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#endif

#include "ambercrypt/ambercrypt.h"
#include "support/test_support.h"
#include "tools/tool_store.h"

namespace ambercrypt {
namespace {

constexpr uint32_t F = AMBER_ERROR_FLAG;
const char kPassword[] = "Admin-Passw0rd";
const char kSecretKey[] = "Secret-Key-77";
// The secret key as the store keeps it before its suffix: padded with '0'
// to 31 characters.
const char kStoredSecretKey[] = "Secret-Key-77000000000000000000";
const char kKeyText[] = "Hmac-Key-Text-1";

class AdminLayerTest : public test::StoreTest {
 protected:
  void TearDown() override {
    // A read of the layer turns the making of a missing store off for the
    // process; the next test's store is made as tests make theirs.
    tools::OpenStore(true);
    test::StoreTest::TearDown();
  }

  // An installation with Scanner in mode 4, its secret key and a verify
  // policy answered by HMAC, set through the exports.
  void Provision() {
    std::string error;
    ASSERT_TRUE(adminlib::Install(kPassword, false, &error)) << error;
    adminlib::AttachedLibrary library;
    ASSERT_TRUE(library.Attach(&error)) << error;
    ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitSecretKey("Scanner", AMBER_CALG_AES_256, kSecretKey, kPassword));
    ResponseMethodRecord method;
    memset(&method, 0, sizeof method);
    method.method = AMBER_RESPONSE_HMAC;
    memcpy(method.keyText, kKeyText, sizeof kKeyText);
    ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", 100, 3, 5, 1, method, kPassword));
  }
};

TEST_F(AdminLayerTest, AnInstallationIsMadeOnceAndFound) {
  adminlib::Installation here = adminlib::ReadInstallation();
  EXPECT_FALSE(here.passwordDigest);
  EXPECT_FALSE(here.hasNumber);
  EXPECT_EQ("no installation here: run 'ambercrypt-admin install' first", adminlib::WhyNoInstallation(here));
  adminlib::AttachedLibrary library;
  std::string error;
  EXPECT_FALSE(library.Attach(&error));
  EXPECT_EQ(adminlib::WhyNoInstallation(here), error);

  ASSERT_TRUE(adminlib::Install(kPassword, false, &error)) << error;
  here = adminlib::ReadInstallation();
  EXPECT_TRUE(here.passwordDigest);
  EXPECT_TRUE(here.hasNumber);
  EXPECT_TRUE(here.applications.empty());
  EXPECT_EQ(AMBER_OK, adminlib::AdmitAdministrator(kPassword));

  // Replaced, the installation keeps none of its applications or names.
  Provision();
  ASSERT_TRUE(adminlib::RememberName("Scanner"));
  ASSERT_EQ(1u, adminlib::ReadInstallation().applications.size());
  ASSERT_TRUE(adminlib::Install("Other-Passw0rd", true, &error)) << error;
  here = adminlib::ReadInstallation();
  EXPECT_TRUE(here.passwordDigest && here.hasNumber);
  EXPECT_TRUE(here.applications.empty());
  EXPECT_EQ("", adminlib::IndexedName(adminlib::AppKeyOf("Scanner")));
  EXPECT_EQ(F | AMBER_E_BAD_ADMIN_PASSWORD, adminlib::AdmitAdministrator(kPassword));
  EXPECT_EQ(AMBER_OK, adminlib::AdmitAdministrator("Other-Passw0rd"));
}

// A new administrator password passes the library's rules for administration
// texts; the password of an installation is checked as its calls check it.
TEST_F(AdminLayerTest, PasswordsAreTheLibrarys) {
  const std::string longest(255, 'a'), tooLong(256, 'a');
  const struct {
    std::string password;
    bool acceptable;
  } cases[] = {
      {"Admin-Passw0rd", true}, {"aB3xyz", true},        {"aB3xy", false},       {"weakpass", false},
      {"NOLOWER1", false},      {"", false},             {"A1" + longest.substr(2), true},
      {"A1" + tooLong.substr(2), false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.acceptable, adminlib::AcceptableNewPassword(c.password.c_str())) << c.password.size();
  }
  std::string error;
  ASSERT_TRUE(adminlib::Install(kPassword, false, &error)) << error;
  EXPECT_EQ(AMBER_OK, adminlib::AdmitAdministrator(kPassword));
  for (const char *wrong : {"Admin-Passw0rD", "", "Admin-Passw0rd "}) {
    EXPECT_EQ(F | AMBER_E_BAD_ADMIN_PASSWORD, adminlib::AdmitAdministrator(wrong)) << wrong;
  }
}

TEST_F(AdminLayerTest, TheIndexKeepsTheNamesItWasGiven) {
  std::string error;
  ASSERT_TRUE(adminlib::Install(kPassword, false, &error)) << error;
  const std::string appKey = adminlib::AppKeyOf("Scanner");
  EXPECT_EQ(28u, appKey.size());
  EXPECT_EQ("", adminlib::AppKeyOf(""));
  EXPECT_EQ("", adminlib::IndexedName(appKey));
  EXPECT_TRUE(adminlib::RememberName("Scanner"));
  EXPECT_TRUE(adminlib::RememberName("Scanner"));  // once is enough; twice changes nothing
  EXPECT_EQ("Scanner", adminlib::IndexedName(appKey));
  EXPECT_EQ("", adminlib::IndexedName(adminlib::AppKeyOf("Other")));
  EXPECT_TRUE(adminlib::ForgetName("Scanner"));
  EXPECT_EQ("", adminlib::IndexedName(appKey));
}

// What the exports stored comes back as stored; secrets only with reveal,
// and what was never set as absent.
TEST_F(AdminLayerTest, AnApplicationReadsBackAsTheExportsStoredIt) {
  Provision();
  adminlib::ApplicationReadout app;
  ASSERT_EQ(adminlib::ReadResult::kRead, adminlib::ReadApplication("Scanner", true, &app));
  EXPECT_TRUE(app.present);
  EXPECT_FALSE(app.storeFailed);
  EXPECT_EQ(adminlib::AppKeyOf("Scanner"), app.appKey);
  EXPECT_EQ(4, app.mode);
  EXPECT_FALSE(app.customMask);
  EXPECT_TRUE(app.secretKeySet);
  EXPECT_EQ(static_cast<int32_t>(AMBER_CALG_AES_256), app.cipher);
  EXPECT_TRUE(app.secretKeyPresent);
  EXPECT_TRUE(app.secretKey == kStoredSecretKey);
  EXPECT_EQ(100, app.verify.maxFmr);
  EXPECT_EQ(3, app.verify.maxFailures);
  EXPECT_EQ(5, app.verify.lockMinutes);
  EXPECT_EQ(1, app.verify.flag);
  EXPECT_EQ(static_cast<int32_t>(AMBER_RESPONSE_HMAC), app.verify.responseMethod);
  EXPECT_TRUE(app.verify.keyTextPresent);
  EXPECT_TRUE(app.verify.keyText == kKeyText);
  EXPECT_FALSE(app.identify.maxFmr || app.identify.responseMethod || app.identify.keyTextPresent);
  EXPECT_FALSE(app.signing.registered || app.endUser.registered);
  EXPECT_FALSE(app.verifyLockout.locked || app.identifyLockout.locked);
  EXPECT_FALSE(app.verifyLockout.releaseTime);

  ASSERT_EQ(adminlib::ReadResult::kRead, adminlib::ReadApplication("Scanner", false, &app));
  EXPECT_TRUE(app.secretKeyPresent && app.verify.keyTextPresent);
  EXPECT_TRUE(app.secretKey.empty());
  EXPECT_TRUE(app.verify.keyText.empty());

  ASSERT_EQ(adminlib::ReadResult::kRead, adminlib::ReadApplication("Nobody", true, &app));
  EXPECT_FALSE(app.present);
  EXPECT_FALSE(app.mode);
  EXPECT_EQ(adminlib::ReadResult::kNoAppKey, adminlib::ReadApplication("", true, &app));
}

// The library attached through the layer names the application it then
// signs and verifies for; a name it has no AppKey for is refused.
TEST_F(AdminLayerTest, TheAttachedLibraryAddressesTheApplicationNamed) {
  Provision();
  adminlib::AttachedLibrary library;
  std::string error;
  ASSERT_TRUE(library.Attach(&error)) << error;
  EXPECT_FALSE(adminlib::SelectApplication(""));
  ASSERT_TRUE(adminlib::SelectApplication("Scanner"));
  // Scanner has no signing certificate: the library says so for Scanner.
  BioAPI_BIR in, out;
  memset(&in, 0, sizeof in);
  memset(&out, 0, sizeof out);
  uint8_t data[4] = {1, 2, 3, 4};
  in.BiometricData.Length = sizeof data;
  in.BiometricData.Data = data;
  EXPECT_EQ(F | AMBER_E_CERTIFICATE, KoBioSPI_DigitalSignBIR(&in, &out));
}

#if !defined(_WIN32)
// On Linux a store that is not there is said to be missing, and reading it
// makes nothing; one another account may write is refused, and why is said.
TEST_F(AdminLayerTest, AMissingOrRefusedStoreIsSaidSo) {
  const std::string missing = root() + "/mistyped";
  setenv("AMBERCRYPT_ROOT", missing.c_str(), 1);
  adminlib::Installation here = adminlib::ReadInstallation();
  EXPECT_TRUE(here.store.missing);
  EXPECT_EQ("no installation here: there is no store at " + missing, adminlib::WhyNoInstallation(here));
  EXPECT_NE(0, access(missing.c_str(), F_OK));

  const std::string open = root() + "/open";
  ASSERT_EQ(0, mkdir(open.c_str(), 0777));
  ASSERT_EQ(0, chmod(open.c_str(), 0777));
  setenv("AMBERCRYPT_ROOT", open.c_str(), 1);
  here = adminlib::ReadInstallation();
  char resolved[PATH_MAX];
  ASSERT_NE(nullptr, realpath(open.c_str(), resolved));
  EXPECT_EQ(std::string("the store is refused: ") + resolved + ": may be written by other accounts",
            adminlib::WhyNoInstallation(here));
  setenv("AMBERCRYPT_ROOT", root().c_str(), 1);
}
#endif

}  // namespace
}  // namespace ambercrypt
