// Certificates of an application: the stored identification of a certificate
// (issuer name and serial number), the BIR-signing certificate with BIR
// signatures and their verification, and the end-user certificate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "crypto/ccrypt.h"
#include "frame/entry.h"
#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/setting_store.h"
#include "store/settings.h"
#include "support/test_support.h"
#include "store/certificate_id.h"

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
      {"count below the bytes", 299, false, static_cast<uint32_t>(ERROR_INVALID_DATA)},
      // Refused before a buffer of the count is made: no 2 GiB allocation.
      {"count far above the bytes", 0x7FFFFFF0, false, static_cast<uint32_t>(ERROR_INVALID_DATA)},
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

// ---- The BIR-signing certificate, signatures and the end-user certificate ----

constexpr uint32_t F = AMBER_ERROR_FLAG;
const char kPassword[] = "Admin123";
const char kHost[] = "C:\\Apps\\Scanner.EXE";

// A certificate's identification with its own bytes.
struct Identity {
  Bytes issuer, serial;
  IssuerSerial get() {
    IssuerSerial out;
    out.Issuer = {static_cast<uint32_t>(issuer.size()), issuer.data()};
    out.SerialNumber = {static_cast<uint32_t>(serial.size()), serial.data()};
    return out;
  }
};

// What the registering calls are given for one certificate: its
// identification, one that no certificate of "ROOT" has, and one whose serial
// number has a count but no bytes. Not to be copied: the blobs point inside.
struct CertificateArguments {
  explicit CertificateArguments(const Identity &who) : named(who), missing(who) {
    missing.serial[0] ^= 1;
    good = named.get();
    absent = missing.get();
    noBytes = named.get();
    noBytes.SerialNumber.pbData = nullptr;
  }
  CertificateArguments(const CertificateArguments &) = delete;
  Identity named, missing;
  IssuerSerial good, absent, noBytes;
};

Identity IdentityOf(const std::string &pemPath) {
  Identity id;
  test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(pemPath)), &id.issuer, &id.serial);
  return id;
}

// A record with its own buffers; Snapshot() tells whether a failed call
// changed anything of it.
struct Record {
  Record(const Bytes &content, size_t dataCapacity, size_t blockCapacity)
      : data(content), block(blockCapacity, 0xcc) {
    data.resize(std::max(content.size(), dataCapacity), 0xdd);
    memset(&bir, 0, sizeof bir);
    bir.Header.HeaderVersion = 2;
    bir.Header.Type = 0x04;
    bir.Header.Quality = 61;
    bir.BiometricData = {static_cast<uint32_t>(content.size()), data.empty() ? nullptr : data.data()};
    bir.SecurityBlock = {static_cast<uint32_t>(blockCapacity), block.empty() ? nullptr : block.data()};
  }
  Bytes Block() const { return Bytes(bir.SecurityBlock.Data, bir.SecurityBlock.Data + bir.SecurityBlock.Length); }
  Bytes Snapshot() const {
    Bytes out(reinterpret_cast<const uint8_t *>(&bir), reinterpret_cast<const uint8_t *>(&bir) + sizeof bir);
    out.insert(out.end(), data.begin(), data.end());
    out.insert(out.end(), block.begin(), block.end());
    return out;
  }
  BioAPI_BIR bir;
  Bytes data, block;
};

class CertificateTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::ProvisionInstallation(kPassword, 77);
    test::AttachAs(kHost);
    test::InstallTestCertificates();
    signer_ = IdentityOf(test::TestDataPath("signer.cert.pem"));
    longIssuer_ = IdentityOf(test::FixturePath("long_issuer.cert.pem"));
    keyless_ = IdentityOf(test::FixturePath("keyless.cert.pem"));
  }
  // Mode 4, then the certificate; the application is then the current one.
  void Register(const char *application, Identity &who) {
    ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction(application, 4, 0, kPassword));
    IssuerSerial id = who.get();
    ASSERT_EQ(0u, KoBioSPI_InitCerfificate(application, &id, kPassword));
  }
  // The current application signs content: size query, then a block of
  // exactly that size.
  static Record Sign(const Bytes &content) {
    Record input(content, content.size(), 0);
    Record sized(Bytes(), 0, 0);
    EXPECT_EQ(0u, KoBioSPI_DigitalSignBIR(&input.bir, &sized.bir));
    Record output(Bytes(), content.size(), sized.bir.SecurityBlock.Length);
    EXPECT_EQ(0u, KoBioSPI_DigitalSignBIR(&input.bir, &output.bir));
    return output;
  }

  Identity signer_, longIssuer_, keyless_;
};

TEST_F(CertificateTest, InitCerfificateChecksInOrderAndStoresNothingOnFailure) {
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool", 4, 0, kPassword));
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Mode3", 3, 0, kPassword));
  CertificateArguments signer(signer_);
  IssuerSerial &good = signer.good;
  const std::string longName(256, 'a');
  struct Case {
    const char *name;
    const IssuerSerial *id;
    const char *password;
    uint32_t expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, AMBER_E_BAD_APPLICATION_NAME},
      {"Tool", &good, nullptr, AMBER_E_BAD_ADMIN_PASSWORD},
      {"", nullptr, nullptr, AMBER_E_BAD_ADMIN_PASSWORD},
      {"", nullptr, "wrong", AMBER_E_BAD_APPLICATION_NAME},
      {longName.c_str(), &good, kPassword, AMBER_E_BAD_APPLICATION_NAME},
      {"Tool", &good, "", AMBER_E_BAD_ADMIN_PASSWORD},
      {"Tool", nullptr, "wrong", AMBER_E_CERTIFICATE},
      {"Tool", &good, "wrong", AMBER_E_BAD_ADMIN_PASSWORD},
      {"Mode3", &good, kPassword, AMBER_E_NOT_PERMITTED},
      {"Tool", &signer.absent, kPassword, AMBER_E_CERTIFICATE},
      {"Tool", &signer.noBytes, kPassword, AMBER_E_CERTIFICATE},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.expected | F, KoBioSPI_InitCerfificate(c.name, c.id, c.password))
        << (c.name ? c.name : "(null)") << " " << (c.password ? c.password : "(null)");
  }
  for (const char *application : {"Tool", "Mode3"}) {
    for (const Setting *s : {&settings::kSigningIssuerLength, &settings::kSigningIssuer,
                             &settings::kSigningSerialLength, &settings::kSigningSerial}) {
      EXPECT_FALSE(test::HasSetting(application, *s)) << application << " " << s->name;
    }
  }

  // Stored: the counts encrypted, the bytes as passed.
  ASSERT_EQ(0u, KoBioSPI_InitCerfificate("Tool", &good, kPassword));
  Bytes stored;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(test::ApplicationPath("Tool").c_str(), settings::kSigningIssuer.name, &stored));
  EXPECT_EQ(signer_.issuer, stored);
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(test::ApplicationPath("Tool").c_str(), settings::kSigningSerial.name, &stored));
  EXPECT_EQ(signer_.serial, stored);
  SettingStore::Key app = AttachedSpiContext()->store().Open(SettingKey::kApplication, KEY_READ);
  int32_t count = 0;
  ASSERT_EQ(0u, app.ReadInt(settings::kSigningIssuerLength, &count));
  EXPECT_EQ(static_cast<int32_t>(signer_.issuer.size()), count);
  ASSERT_EQ(0u, app.ReadInt(settings::kSigningSerialLength, &count));
  EXPECT_EQ(9, count);
}

// The messages the reference vectors hold, made through the exports.
TEST_F(CertificateTest, SignedBirsCarryTheReferenceMessages) {
  Register("Tool", signer_);
  std::istringstream table(test::ReadFile(test::TestDataPath("sign.txt")));
  std::string line;
  int rows = 0;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string issuer, serial, data, message;
    fields >> issuer >> serial >> data >> message;
    ASSERT_EQ(test::ToHex(signer_.issuer), issuer);
    Bytes content = test::FromHex(data);
    Record input(content, content.size(), 0);
    input.bir.Header.Quality = 42;
    Record output(Bytes(), content.size(), 0);
    const Bytes before = output.Snapshot();
    // A size query sets the security block length and nothing else.
    ASSERT_EQ(0u, KoBioSPI_DigitalSignBIR(&input.bir, &output.bir));
    EXPECT_EQ(message.size() / 2, output.bir.SecurityBlock.Length);
    output.bir.SecurityBlock.Length = 0;
    EXPECT_EQ(before, output.Snapshot());

    Record signed_(Bytes(), content.size(), message.size() / 2);
    ASSERT_EQ(0u, KoBioSPI_DigitalSignBIR(&input.bir, &signed_.bir));
    EXPECT_EQ(message, test::ToHex(signed_.Block()));
    EXPECT_EQ(0x24, signed_.bir.Header.Type);
    EXPECT_EQ(42, signed_.bir.Header.Quality);
    EXPECT_EQ(content, Bytes(signed_.data.begin(), signed_.data.begin() + signed_.bir.BiometricData.Length));
    EXPECT_EQ(0u, KoBioSPI_VerifyReferenceBIR(&signed_.bir));
    ++rows;
  }
  EXPECT_GT(rows, 0);
}

// Issuer names longer than 256 bytes register, sign and verify.
TEST_F(CertificateTest, LongIssuerNamesSignAndVerify) {
  ASSERT_GT(longIssuer_.issuer.size(), 256u);
  Register("Tool", longIssuer_);
  Bytes content = Filled(700, 9);
  Record output = Sign(content);
  EXPECT_EQ(0x24, output.bir.Header.Type);
  EXPECT_EQ(0u, KoBioSPI_VerifyReferenceBIR(&output.bir));
}

TEST_F(CertificateTest, FailedSigningLeavesTheOutputAlone) {
  const Bytes content = Filled(40, 1);
  Register("Keyless", keyless_);
  Register("Tool", signer_);
  uint32_t size = Sign(content).bir.SecurityBlock.Length;
  ASSERT_GT(size, 0u);
  struct Case {
    const char *what;
    const char *application;  // whose certificate signs (null: none registered)
    size_t inputLength, dataCapacity, blockCapacity;
    bool nullOutputData, nullInput;
    uint32_t expected;
    bool emptyRealBlock = false;  // a block pointer with no capacity
  };
  const Case cases[] = {
      {"a block one byte short", "Tool", 40, 40, size - 1, false, false, AMBER_E_SIGNATURE},
      {"no output data buffer", "Tool", 40, 40, size, true, false, AMBER_E_SIGNATURE},
      {"empty input data", "Tool", 0, 40, size, false, false, AMBER_E_SIGNATURE},
      {"no input", "Tool", 40, 40, size, false, true, AMBER_E_SIGNATURE},
      {"a certificate without its private key", "Keyless", 40, 40, size, false, false, AMBER_E_SIGNATURE},
      {"size query with a certificate without its key", "Keyless", 40, 40, 0, false, false, AMBER_E_SIGNATURE},
      {"no certificate registered", "Other", 40, 40, size, false, false, AMBER_E_CERTIFICATE},
      {"a block of no capacity", "Tool", 40, 40, 0, false, false, AMBER_E_SIGNATURE, true},
  };
  uint8_t noRoom[1] = {0x77};
  for (const Case &c : cases) {
    ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction(c.application, 4, 0, kPassword));  // the current application
    Record input(Bytes(content.begin(), content.begin() + c.inputLength), c.inputLength, 0);
    Record output(Bytes(), c.dataCapacity, c.blockCapacity);
    if (c.nullOutputData) output.bir.BiometricData.Data = nullptr;
    if (c.emptyRealBlock) output.bir.SecurityBlock = {0, noRoom};
    const Bytes before = output.Snapshot();
    EXPECT_EQ(c.expected | F, KoBioSPI_DigitalSignBIR(c.nullInput ? nullptr : &input.bir, &output.bir)) << c.what;
    EXPECT_EQ(before, output.Snapshot()) << c.what;
  }
  EXPECT_EQ(0x77, noRoom[0]);
  EXPECT_EQ(AMBER_SIGN_NULL_OUTPUT, KoBioSPI_DigitalSignBIR(nullptr, nullptr));
}

// Only the registered certificate's own signature over the very data verifies.
TEST_F(CertificateTest, OnlyTheRegisteredCertificatesSignatureVerifies) {
  const std::string other = test::ReadFile(test::FixturePath("other_signers.txt"));
  const Bytes otherContent(other.begin(), other.end());
  Register("Second", longIssuer_);
  Record bySecond = Sign(otherContent);
  ASSERT_EQ(0u, KoBioSPI_VerifyReferenceBIR(&bySecond.bir));
  Register("Tool", signer_);
  Record genuine = Sign(otherContent);
  ASSERT_EQ(0u, KoBioSPI_VerifyReferenceBIR(&genuine.bir));

  // A BIR with otherContent as its data and message as its security block.
  auto withMessage = [&](const Bytes &message) {
    Record r(otherContent, otherContent.size(), message.size());
    std::copy(message.begin(), message.end(), r.block.begin());
    r.bir.Header.Type |= BioAPI_BIR_DATA_TYPE_SIGNED;
    return r;
  };
  auto fixture = [](const char *name) {
    const std::string text = test::ReadFile(test::FixturePath(name));
    return Bytes(text.begin(), text.end());
  };
  Record impostor = withMessage(fixture("impostor.p7"));
  Record throwaway = withMessage(fixture("throwaway.p7"));
  Record changed = genuine;
  changed.bir.BiometricData.Data = changed.data.data();
  changed.bir.SecurityBlock.Data = changed.block.data();
  changed.data[17] ^= 0x01;
  Record longer(Bytes(), otherContent.size() + 1, 0);
  longer.bir = genuine.bir;
  longer.data.assign(otherContent.begin(), otherContent.end());
  longer.data.push_back('!');
  longer.bir.BiometricData = {static_cast<uint32_t>(longer.data.size()), longer.data.data()};
  Record truncated = genuine;
  truncated.bir.BiometricData.Data = truncated.data.data();
  truncated.bir.SecurityBlock = {genuine.bir.SecurityBlock.Length - 1, truncated.block.data()};
  Record unsignedBit = genuine;
  unsignedBit.bir.Header.Type &= static_cast<uint8_t>(~BioAPI_BIR_DATA_TYPE_SIGNED);

  struct Case {
    const char *what;
    const BioAPI_BIR *bir;
    uint32_t expected;
  };
  const Case cases[] = {
      {"signed through the library for another application", &bySecond.bir, AMBER_E_SIGNATURE},
      {"signed by an impostor with the registered issuer and serial", &impostor.bir, AMBER_E_SIGNATURE},
      {"signed by a throw-away certificate", &throwaway.bir, AMBER_E_SIGNATURE},
      {"one byte of the data changed", &changed.bir, AMBER_E_SIGNATURE},
      {"the data one byte longer", &longer.bir, AMBER_E_SIGNATURE},
      {"the message cut short", &truncated.bir, AMBER_E_SIGNATURE},
      {"the signed bit cleared", &unsignedBit.bir, AMBER_E_BIR_NOT_SIGNED},
      {"no BIR", nullptr, AMBER_E_BIR_NOT_SIGNED},
  };
  for (const Case &c : cases) EXPECT_EQ(c.expected | F, KoBioSPI_VerifyReferenceBIR(c.bir)) << c.what;
  EXPECT_EQ(0u, KoBioSPI_VerifyReferenceBIR(&genuine.bir));

  // An application without a certificate has nothing to verify with.
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Other", 4, 0, kPassword));
  EXPECT_EQ(AMBER_E_CERTIFICATE | F, KoBioSPI_VerifyReferenceBIR(&genuine.bir));
}

// Sign and verify use whichever application the last administration call
// named; registering an end-user certificate names none.
TEST_F(CertificateTest, TheCurrentApplicationSignsAndVerifies) {
  Register("Tool", signer_);
  Record byTool = Sign(Filled(30, 4));
  Register("Second", longIssuer_);
  EXPECT_EQ(AMBER_E_SIGNATURE | F, KoBioSPI_VerifyReferenceBIR(&byTool.bir));
  IssuerSerial id = signer_.get();
  ASSERT_EQ(0u, KoBioSPI_SetEndUserParameter("Tool", &id));
  EXPECT_EQ(AMBER_E_SIGNATURE | F, KoBioSPI_VerifyReferenceBIR(&byTool.bir));  // still "Second"
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool", 4, 0, kPassword));
  EXPECT_EQ(0u, KoBioSPI_VerifyReferenceBIR(&byTool.bir));
}

TEST_F(CertificateTest, SetEndUserParameterChecksAndStores) {
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool", 4, 0, kPassword));
  CertificateArguments longIssuer(longIssuer_);
  IssuerSerial &good = longIssuer.good;
  const std::string longName(256, 'a');
  struct Case {
    const char *name;
    const IssuerSerial *id;
    uint32_t expected;
  };
  const Case cases[] = {
      {nullptr, &good, AMBER_E_BAD_APPLICATION_NAME},   {"", nullptr, AMBER_E_BAD_APPLICATION_NAME},
      {longName.c_str(), &good, AMBER_E_BAD_APPLICATION_NAME}, {"Tool", nullptr, AMBER_E_CERTIFICATE},
      {"Tool", &longIssuer.absent, AMBER_E_CERTIFICATE}, {"Tool", &longIssuer.noBytes, AMBER_E_CERTIFICATE},
      {"NoKey", &good, AMBER_E_SETTING_UNAVAILABLE},
  };
  for (const Case &c : cases) EXPECT_EQ(c.expected | F, KoBioSPI_SetEndUserParameter(c.name, c.id)) << c.expected;
  EXPECT_FALSE(test::KeyExists(test::ApplicationPath("NoKey").c_str()));
  for (const Setting *s : {&settings::kEndUserIssuerLength, &settings::kEndUserIssuer,
                           &settings::kEndUserSerialLength, &settings::kEndUserSerial}) {
    EXPECT_FALSE(test::HasSetting("Tool", *s)) << s->name;
  }

  // A certificate without its private key is no obstacle to naming it.
  IssuerSerial keyless = keyless_.get();
  EXPECT_EQ(0u, KoBioSPI_SetEndUserParameter("Tool", &keyless));
  ASSERT_EQ(0u, KoBioSPI_SetEndUserParameter("Tool", &good));
  CSecureBuffer tool;
  ASSERT_TRUE(DeriveAppKey("Tool", &tool));
  SettingStore::Key app =
      AttachedSpiContext()->store().OpenFor(reinterpret_cast<const char *>(tool.data()), SettingKey::kApplication, KEY_READ);
  StoredCertificateId stored;
  ASSERT_EQ(0u, stored.Read(app, kEndUserCertificate));
  EXPECT_EQ(longIssuer_.issuer,
            Bytes(stored.id().Issuer.pbData, stored.id().Issuer.pbData + stored.id().Issuer.cbData));
  EXPECT_EQ(longIssuer_.serial,
            Bytes(stored.id().SerialNumber.pbData, stored.id().SerialNumber.pbData + stored.id().SerialNumber.cbData));
  CCrypt crypt;
  EXPECT_EQ(0u, crypt.FindCertificate(&stored.id()));
}

}  // namespace
}  // namespace ambercrypt
