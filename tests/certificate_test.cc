// Certificates of an application: the stored identification of a certificate
// (issuer name and serial number), the BIR-signing certificate with BIR
// signatures and their verification, and the end-user certificate.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "store/identity.h"
#include "store/setting_store.h"
#include "store/settings.h"
#include "support/test_support.h"
#include "trust/certificate_id.h"

namespace ambercrypt {
namespace {

using test::Bytes;

Bytes Filled(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

CERT_ISSUER_SERIAL_NUMBER IdOf(Bytes &issuer, Bytes &serial) {
  CERT_ISSUER_SERIAL_NUMBER id;
  id.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
  id.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
  return id;
}

class CertificateIdTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::SetInstallationNumber(1234);
    ASSERT_TRUE(store_.SetApplication("Scanner"));
    ASSERT_TRUE(store_.LoadInstallationKey());
  }
  SettingStore store_;
};

TEST_F(CertificateIdTest, BlobsOfAnyStoredLengthReadBackWhole) {
  for (size_t issuerLength : {1u, 255u, 256u, 257u, 1500u}) {
    Bytes issuer = Filled(issuerLength, 3), serial = Filled(9, 200);
    SettingStore::Key app = store_.Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
    ASSERT_EQ(0u, WriteCertificateId(app, kSigningCertificate, IdOf(issuer, serial)));
    StoredCertificateId stored;
    ASSERT_EQ(0u, stored.Read(app, kSigningCertificate)) << issuerLength;
    EXPECT_EQ(issuer, Bytes(stored.id().Issuer.pbData, stored.id().Issuer.pbData + stored.id().Issuer.cbData));
    EXPECT_EQ(serial, Bytes(stored.id().SerialNumber.pbData,
                            stored.id().SerialNumber.pbData + stored.id().SerialNumber.cbData));
    // The end-user pair is a pair of its own.
    EXPECT_NE(0u, stored.Read(app, kEndUserCertificate));
    EXPECT_EQ(nullptr, stored.id().Issuer.pbData);
  }
}

TEST_F(CertificateIdTest, CountsMustAgreeWithTheStoredBytes) {
  Bytes issuer = Filled(300, 1), serial = Filled(8, 2);
  const std::string path = SettingKeyPath(SettingKey::kApplication, store_.appKey());
  struct Case {
    const char *what;
    int32_t issuerCount;
    bool eraseSerial;
    uint32_t expected;
  };
  const Case cases[] = {
      {"as written", 300, false, ERROR_SUCCESS},
      {"count below the bytes", 299, false, static_cast<uint32_t>(ERROR_MORE_DATA)},
      {"count above the bytes", 301, false, static_cast<uint32_t>(ERROR_INVALID_DATA)},
      {"count zero", 0, false, static_cast<uint32_t>(ERROR_INVALID_DATA)},
      {"count negative", -1, false, static_cast<uint32_t>(ERROR_INVALID_DATA)},
      {"serial bytes missing", 300, true, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND)},
  };
  for (const Case &c : cases) {
    SettingStore::Key app = store_.Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
    ASSERT_EQ(0u, WriteCertificateId(app, kEndUserCertificate, IdOf(issuer, serial)));
    ASSERT_EQ(0u, app.WriteInt(settings::kEndUserIssuerLength, c.issuerCount));
    if (c.eraseSerial) {
      ASSERT_EQ(ERROR_SUCCESS, test::DeleteValue(path.c_str(), settings::kEndUserSerial.name));
    }
    StoredCertificateId stored;
    EXPECT_EQ(c.expected, stored.Read(app, kEndUserCertificate)) << c.what;
  }
}

TEST_F(CertificateIdTest, AnotherApplicationsKeyLeavesTheCurrentOneAlone) {
  CSecureBuffer other;
  ASSERT_TRUE(DeriveAppKey("Tool", &other));
  const std::string current = store_.appKey();
  Bytes issuer = Filled(20, 5), serial = Filled(3, 6);
  {
    SettingStore::Key app = store_.OpenFor(reinterpret_cast<const char *>(other.data()), SettingKey::kApplication,
                                           KEY_ALL_ACCESS, true);
    ASSERT_EQ(0u, WriteCertificateId(app, kEndUserCertificate, IdOf(issuer, serial)));
  }
  EXPECT_EQ(current, store_.appKey());
  EXPECT_FALSE(test::KeyExists(SettingKeyPath(SettingKey::kApplication, store_.appKey()).c_str()));
  SettingStore::Key app = store_.OpenFor(reinterpret_cast<const char *>(other.data()), SettingKey::kApplication, KEY_READ);
  StoredCertificateId stored;
  ASSERT_EQ(0u, stored.Read(app, kEndUserCertificate));
  EXPECT_EQ(issuer, Bytes(stored.id().Issuer.pbData, stored.id().Issuer.pbData + 20));
}

}  // namespace
}  // namespace ambercrypt
