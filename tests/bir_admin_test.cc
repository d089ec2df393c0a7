// BIR records and their encryption, the password rules, the administrator
// password, the secret key and function restriction, through the exports.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "core/admin_password.h"
#include "ambercrypt/ambercrypt.h"
#include "core/bir_ctrl.h"
#include "crypto/ccrypt.h"
#include "store/caches.h"
#include "frame/entry.h"
#include "store/identity.h"
#include "store/constants.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

using test::Bytes;

constexpr uint32_t F = AMBER_ERROR_FLAG;
const char kPassword[] = "Admin123";
const char kHost[] = "C:\\Apps\\Scanner.EXE";

// A record with its own buffers.
struct Record {
  explicit Record(size_t dataCapacity, size_t blockCapacity = 0)
      : data(dataCapacity), block(blockCapacity) {
    memset(&bir, 0, sizeof bir);
    bir.Header.HeaderVersion = 2;
    bir.Header.Type = 0x04;
    bir.Header.Quality = 77;
    bir.Header.FactorsMask = 0x8;
    bir.BiometricData.Length = static_cast<uint32_t>(dataCapacity);
    bir.BiometricData.Data = dataCapacity ? data.data() : nullptr;
    bir.SecurityBlock.Length = static_cast<uint32_t>(blockCapacity);
    bir.SecurityBlock.Data = blockCapacity ? block.data() : nullptr;
  }
  Bytes Data() const { return Bytes(bir.BiometricData.Data, bir.BiometricData.Data + bir.BiometricData.Length); }
  BioAPI_BIR bir;
  Bytes data, block;
};

Record Template(size_t n) {
  Record r(n);
  for (size_t i = 0; i < n; ++i) r.data[i] = static_cast<uint8_t>(i * 7 + 1);
  return r;
}

TEST(CBIRCtrlTest, SecurityBlockCopies) {
  CBIRCtrl ctrl;
  Record source(4, 100), destination(4, 64);
  source.bir.Header.Quality = 12;
  std::fill(source.block.begin(), source.block.end(), 0x5b);
  EXPECT_FALSE(ctrl.CopyHeaderAndSecurityBlock(&destination.bir, &source.bir));
  EXPECT_EQ(12, destination.bir.Header.Quality);  // the header is copied first
  EXPECT_EQ(64u, destination.bir.SecurityBlock.Length);

  Record noBuffer(4);
  EXPECT_FALSE(ctrl.CopyHeaderAndSecurityBlock(&noBuffer.bir, &source.bir));

  Record big(4, 128);
  ASSERT_TRUE(ctrl.CopyHeaderAndSecurityBlock(&big.bir, &source.bir));
  EXPECT_EQ(100u, big.bir.SecurityBlock.Length);
  EXPECT_EQ(Bytes(100, 0x5b), Bytes(big.block.begin(), big.block.begin() + 100));

  Record plain(4);
  Record keep(4, 8);
  ASSERT_TRUE(ctrl.CopyHeaderAndSecurityBlock(&keep.bir, &plain.bir));
  EXPECT_EQ(8u, keep.bir.SecurityBlock.Length);
  EXPECT_EQ(keep.block.data(), keep.bir.SecurityBlock.Data);
  EXPECT_FALSE(ctrl.CopyHeaderAndSecurityBlock(nullptr, &plain.bir));
}

TEST(CBIRCtrlTest, DataTypeBits) {
  CBIRCtrl ctrl;
  Record r(1);
  ctrl.SetEncrypted(&r.bir);
  ctrl.SetEncrypted(&r.bir);
  EXPECT_EQ(0x14, r.bir.Header.Type);
  ctrl.ClearEncrypted(&r.bir);
  ctrl.ClearEncrypted(&r.bir);
  EXPECT_EQ(0x04, r.bir.Header.Type);
  EXPECT_FALSE(ctrl.IsSigned(&r.bir));
  ctrl.SetSigned(&r.bir);
  EXPECT_TRUE(ctrl.IsSigned(&r.bir));
  EXPECT_EQ(0x24, r.bir.Header.Type);
  EXPECT_FALSE(ctrl.IsSigned(nullptr));
}

TEST(PasswordRulesTest, Table) {
  struct Case {
    const char *text;
    bool expected;
  };
  const Case cases[] = {
      {"Abcde1", true}, {"Abc12", false},         {"ABCDE1", false},      {"abcdef1", false}, {"Abcdefg", false},
      {"!! aB3 ??", true}, {"", false}, {"1aaaaaaaaaaaaZ", true}, {"AAAAAAAAAA1b", true},
  };
  for (const Case &c : cases) EXPECT_EQ(c.expected, CheckPasswordRules(c.text)) << c.text;
  EXPECT_FALSE(CheckPasswordRules(nullptr));
}

TEST(PasswordRulesTest, StopsAtTheFirstLeadByteOfTheLocale) {
  // In the "C" locale no byte leads a multibyte character.
  EXPECT_TRUE(CheckPasswordRules("\xc3\xa9" "Abc123"));
#if !defined(_WIN32)
  if (setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
    EXPECT_FALSE(CheckPasswordRules("\xc3\xa9" "Abc123"));
    EXPECT_TRUE(CheckPasswordRules("Abc123" "\xc3\xa9"));
    EXPECT_FALSE(CheckPasswordRules("Ab" "\xc3\xa9" "c123"));
    setlocale(LC_CTYPE, "C");
  }
#endif
}

class AdminTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::ProvisionInstallation(kPassword, 77);
    test::AttachAs(kHost);
  }
  // The host gets mode 4 and a secret key, and the process is restarted so
  // that its caches come from the registry.
  void ProvisionHost(uint32_t algorithm, const char *secret = "Secret12") {
    test::WatchSecretKey(secret);
    ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitSecretKey("Scanner", algorithm, secret, kPassword));
    test::AttachAs(kHost);
  }
};

TEST_F(AdminTest, AdministratorPassword) {
  EXPECT_TRUE(VerifyAdminPassword(kPassword));
  EXPECT_FALSE(VerifyAdminPassword("admin123"));
  EXPECT_FALSE(VerifyAdminPassword(""));
  EXPECT_FALSE(VerifyAdminPassword(nullptr));
  Bytes digest = test::Sha1(kPassword);
  digest.push_back(0);
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kBaseKeyPath, settings::kAdminPasswordDigest.name, REG_BINARY, digest));
  EXPECT_FALSE(VerifyAdminPassword(kPassword));
  EXPECT_EQ(AMBER_E_BAD_ADMIN_PASSWORD | F, KoBioSPI_RestrictBSPFunction("Tool", 1, 0, kPassword));
}

TEST_F(AdminTest, InitSecretKeyChecksInOrderAndWritesNothingOnFailure) {
  const std::string longText(256, 'a');
  struct Case {
    const char *name;
    uint32_t algorithm;
    const char *key;
    const char *password;
    uint32_t expected;
  };
  const Case beforeMode[] = {
      {nullptr, 0x6603, nullptr, nullptr, AMBER_E_BAD_APPLICATION_NAME},
      {"Tool", 0x6603, nullptr, nullptr, AMBER_E_BAD_SECRET_KEY},
      {"Tool", 0x6603, "Secret12", nullptr, AMBER_E_BAD_ADMIN_PASSWORD},
      {longText.c_str(), 0x6603, "", "", AMBER_E_BAD_APPLICATION_NAME},
      {"Tool", 0x6603, "", "", AMBER_E_BAD_SECRET_KEY},
      {"Tool", 0x6603, longText.c_str(), kPassword, AMBER_E_BAD_SECRET_KEY},
      {"Tool", 0x6603, "Secret12", longText.c_str(), AMBER_E_BAD_ADMIN_PASSWORD},
      {"Tool", 0x660E, "bad", "wrong", AMBER_E_BAD_ADMIN_PASSWORD},
      {"Tool", 0x660E, "bad", kPassword, AMBER_E_NOT_PERMITTED},  // mode is not 4
  };
  for (const Case &c : beforeMode) {
    EXPECT_EQ(c.expected | F, KoBioSPI_InitSecretKey(c.name, c.algorithm, c.key, c.password)) << c.expected;
  }
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool", 1, 0, kPassword));
  EXPECT_EQ(AMBER_E_NOT_PERMITTED | F, KoBioSPI_InitSecretKey("Tool", 0x6603, "Secret12", kPassword));
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool", 4, 0, kPassword));
  const Case afterMode[] = {
      {"Tool", 0x660E, "Secret12", kPassword, AMBER_E_BAD_ALGORITHM},
      {"Tool", 0x6603, "secret12", kPassword, AMBER_E_BAD_SECRET_KEY},
      {"Tool", 0x6603, "Secret12Secret12Secret12Secret123", kPassword, AMBER_E_BAD_SECRET_KEY},  // 33
  };
  for (const Case &c : afterMode) {
    EXPECT_EQ(c.expected | F, KoBioSPI_InitSecretKey(c.name, c.algorithm, c.key, c.password)) << c.key;
  }
  for (const Setting *s : {&settings::kSecretKeyBlock, &settings::kSecretKeyState, &settings::kCipherAlgorithm}) {
    EXPECT_FALSE(test::HasSetting("Tool", *s)) << s->name;
  }
}

TEST_F(AdminTest, SecretKeyBlockLayout) {
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool", 4, 0, kPassword));
  const std::string suffix = SecretKeySuffix;
  struct Case {
    std::string key, expected;
  };
  const Case cases[] = {
      {"Abc123", "Abc123" + std::string(25, '0') + suffix + std::string(1, '\0')},
      {"Abc123" + std::string(25, 'x'), "Abc123" + std::string(25, 'x') + suffix + std::string(1, '\0')},
      {"Abc123" + std::string(26, 'x'), "Abc123" + std::string(26, 'x') + suffix},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(0u, KoBioSPI_InitSecretKey("Tool", 0x6610, c.key.c_str(), kPassword));
    Bytes stored;
    ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(test::ApplicationPath("Tool").c_str(), settings::kSecretKeyBlock.name, &stored));
    EXPECT_EQ(72u, stored.size());
    CRegCtrl reg;
    ASSERT_TRUE(reg.Open(test::ApplicationPath("Tool").c_str(), 0, KEY_READ));
    uint8_t block[64];
    uint32_t length = 64;
    ASSERT_EQ(0u, reg.QueryEncryptedBinary(settings::kSecretKeyBlock.name, block, &length, AttachedSpiContext()->store().keyMaterial(),
                                           AttachedSpiContext()->store().keyMaterialLength()));
    ASSERT_EQ(64u, length);
    EXPECT_EQ(c.expected, std::string(reinterpret_cast<char *>(block), 64));
    int32_t state = 0, algorithm = 0;
    ASSERT_EQ(0u, reg.QueryEncryptedInt(settings::kSecretKeyState.name, &state, AttachedSpiContext()->store().keyMaterial(),
                                        AttachedSpiContext()->store().keyMaterialLength()));
    ASSERT_EQ(0u, reg.QueryEncryptedInt(settings::kCipherAlgorithm.name, &algorithm, AttachedSpiContext()->store().keyMaterial(),
                                        AttachedSpiContext()->store().keyMaterialLength()));
    EXPECT_EQ(1, state);
    EXPECT_EQ(0x6610, algorithm);
  }
}

TEST_F(AdminTest, CheckModeTable) {
  struct Case {
    uint32_t mode, custom, function, expected;
  };
  const Case cases[] = {
      {1, 0, 0x0001, 0},       {1, 0, 0x0004, 2054},   {2, 0, 0x1000, 0},        {1, 0, 0x1000, 2054},
      {4, 0, 0x07FF, 0},       {4, 0, 0x0800, 2054},   {3, 0, 0x0200, 0},        {3, 0, 0x0100, 2054},
      {2, 0, 0x0400, 2054},    {5, 0, 0xFFFFFFFF, 0},  {5, 0x30, 0x10, 2054},    {5, 0x30, 0x0F, 0},
      {0, 0, 0, 2077},         {0, 0, 1, 2077},        {1, 0, 0x80000000, 0},    {1, 0, 0, 0},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", c.mode, c.custom, kPassword));
    EXPECT_EQ(c.expected ? (c.expected | F) : 0u, KoBioFPI_CheckMode(c.function))
        << "mode " << c.mode << " function " << c.function;
  }
}

TEST_F(AdminTest, RestrictionCodesAndWhoseCachesChange) {
  EXPECT_EQ(AMBER_E_BAD_ADMIN_PASSWORD | F, KoBioSPI_RestrictBSPFunction("Tool2", 6, 0, "wrong"));
  EXPECT_EQ(AMBER_E_BAD_MODE | F, KoBioSPI_RestrictBSPFunction("Tool2", 6, 0, kPassword));
  EXPECT_EQ(AMBER_E_BAD_APPLICATION_NAME | F, KoBioSPI_RestrictBSPFunction("", 1, 0, "wrong"));
  EXPECT_FALSE(test::HasSetting("Tool2", settings::kRestrictionMode));
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool2", 1, 0, kPassword));
  // The host's own answer does not change.
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, KoBioFPI_CheckMode(0));
  char tool2[30];
  HashNameToBase64("Tool2", tool2);
  EXPECT_EQ(1u, *Caches().ModeCache.Find(tool2));
  // Mode 5 then 2 leaves the mask stored; mode 5 again replaces it.
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool2", 5, 0x40, kPassword));
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool2", 2, 0x99, kPassword));
  EXPECT_EQ(0x40u, *Caches().CustomMaskCache.Find(tool2));
  EXPECT_TRUE(test::HasSetting("Tool2", settings::kCustomMask));
}

TEST_F(AdminTest, ModesLoadedAtAttach) {
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 5, 0x30, kPassword));
  test::AttachAs(kHost);
  EXPECT_EQ(AMBER_E_NOT_PERMITTED | F, KoBioFPI_CheckMode(0x10));
  EXPECT_EQ(0u, KoBioFPI_CheckMode(0x01));
  // A mode no administrator can set (written by another tool).
  CRegCtrl reg;
  ASSERT_TRUE(reg.Open(test::ApplicationPath("Scanner").c_str(), 0, KEY_ALL_ACCESS));
  ASSERT_EQ(0u, reg.SetEncryptedInt(settings::kRestrictionMode.name, 7, AttachedSpiContext()->store().keyMaterial(),
                                    AttachedSpiContext()->store().keyMaterialLength()));
  test::AttachAs(kHost);
  EXPECT_EQ(AMBER_E_NOT_PERMITTED | F, KoBioFPI_CheckMode(0));
}

TEST_F(AdminTest, BirExportsNeedASecretKey) {
  Record input = Template(10), output(16);
  EXPECT_EQ(AMBER_E_NO_SECRET_KEY | F, KoBioFPI_EncryptBIR(&input.bir, &output.bir));
  EXPECT_EQ(AMBER_E_NO_SECRET_KEY | F, KoBioFPI_DecryptBIR(&input.bir, &output.bir));
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, KoBioFPI_EncryptBIR(nullptr, &output.bir));
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, KoBioFPI_DecryptBIR(&input.bir, nullptr));
}

TEST_F(AdminTest, TripleDesRoundTrip) {
  ProvisionHost(AMBER_CALG_3DES);
  Record input = Template(100);
  Record query(0);
  ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &query.bir));
  EXPECT_EQ(104u, query.bir.BiometricData.Length);
  EXPECT_EQ(nullptr, query.bir.BiometricData.Data);

  Record tooSmall(103);
  tooSmall.bir.Header.Quality = 1;
  EXPECT_EQ(AMBER_E_ENCRYPT_FAILED | F, KoBioFPI_EncryptBIR(&input.bir, &tooSmall.bir));
  EXPECT_EQ(77, tooSmall.bir.Header.Quality);  // the header was copied
  EXPECT_EQ(Bytes(103, 0), tooSmall.data);

  Record encrypted(104);
  ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &encrypted.bir));
  EXPECT_EQ(104u, encrypted.bir.BiometricData.Length);
  EXPECT_EQ(0x14, encrypted.bir.Header.Type);
  EXPECT_NE(input.Data(), Bytes(encrypted.data.begin(), encrypted.data.begin() + 100));

  // The ciphertext is CCrypt's over the secret-key block with CipherIvConstant.
  // (Built on the stack: the secret key is watched by the zeroing check.)
  uint8_t block[kSecretKeyBlockSize] = "Secret12";
  memset(block + 8, '0', 23);
  memcpy(block + 31, SecretKeySuffix, sizeof SecretKeySuffix - 1);
  CCrypt crypt;
  Bytes expected = input.Data();
  expected.resize(104);
  uint32_t n = 100;
  ASSERT_EQ(0u, crypt.Encrypt(expected.data(), &n, 104, block, sizeof block,
                              reinterpret_cast<const uint8_t *>(CipherIvConstant), 64));
  EXPECT_EQ(expected, encrypted.Data());
  WipeMemory(block, sizeof block);

  Record decrypted(104);
  ASSERT_EQ(0u, KoBioFPI_DecryptBIR(&encrypted.bir, &decrypted.bir));
  EXPECT_EQ(100u, decrypted.bir.BiometricData.Length);
  EXPECT_EQ(input.Data(), decrypted.Data());
  EXPECT_EQ(0x04, decrypted.bir.Header.Type);
  EXPECT_EQ(0, memcmp(&input.bir.Header, &decrypted.bir.Header, sizeof input.bir.Header));
}

// Encryption in the order of its steps: a null output data pointer only asks
// the size; otherwise the header and security block are copied first (a block
// that does not fit: 0x8000807), then the capacity is checked (0x8000817),
// then the data is encrypted.
// A record pointing at memory that is not there is answered, on both targets,
// as a record that cannot be copied: never a crash.
TEST_F(AdminTest, WildPointersAreAnsweredNotFollowed) {
  ProvisionHost(AMBER_CALG_AES_256);
  Record input = Template(32), output(48, 16);
  input.bir.SecurityBlock.Length = 16;
  input.bir.SecurityBlock.Data = static_cast<uint8_t *>(test::InaccessibleAddress());
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, KoBioFPI_EncryptBIR(&input.bir, &output.bir));
  Record good = Template(32), wildOutput(48, 16);
  good.block.assign(16, 1);
  good.bir.SecurityBlock.Length = 16;
  good.bir.SecurityBlock.Data = good.block.data();
  wildOutput.bir.SecurityBlock.Data = static_cast<uint8_t *>(test::InaccessibleAddress());
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, KoBioFPI_EncryptBIR(&good.bir, &wildOutput.bir));
}

TEST_F(AdminTest, EncryptionStepsInOrder) {
  ProvisionHost(AMBER_CALG_3DES);
  const uint32_t blockTooBig = AMBER_E_SETTING_UNAVAILABLE | F, failed = AMBER_E_ENCRYPT_FAILED | F;
  struct Case {
    const char *what;
    size_t plain, inputBlock, outputData, outputBlock;
    uint32_t expected;
    bool headerCopied;
    uint32_t lengthAfter;
  };
  const Case cases[] = {
      {"size query", 100, 12, 0, 4, 0, false, 104},
      {"size query of no data", 0, 0, 0, 0, failed, false, 0},
      {"no data", 0, 0, 16, 0, failed, true, 16},
      {"no data, block too big", 0, 12, 16, 4, blockTooBig, true, 16},
      {"block too big", 100, 12, 104, 4, blockTooBig, true, 104},
      {"block too big and data too big", 100, 12, 103, 4, blockTooBig, true, 103},
      {"data too big", 100, 12, 103, 12, failed, true, 103},
      {"fits", 100, 12, 104, 12, 0, true, 104},
      {"fits with room to spare", 10, 0, 104, 0, 0, true, 16},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Record input = Template(c.plain);
    input.block.assign(c.inputBlock, 0x77);
    input.bir.SecurityBlock.Length = static_cast<uint32_t>(c.inputBlock);
    input.bir.SecurityBlock.Data = c.inputBlock ? input.block.data() : nullptr;
    Record output(c.outputData, c.outputBlock);
    output.bir.Header.Quality = 1;
    EXPECT_EQ(c.expected, KoBioFPI_EncryptBIR(&input.bir, &output.bir));
    EXPECT_EQ(c.headerCopied ? 77 : 1, output.bir.Header.Quality);
    EXPECT_EQ(c.lengthAfter, output.bir.BiometricData.Length);
    const bool blockCopied = c.headerCopied && c.expected != blockTooBig;
    Bytes block(c.outputBlock, 0);
    if (blockCopied) std::fill(block.begin(), block.begin() + static_cast<long>(c.inputBlock), 0x77);
    EXPECT_EQ(block, output.block);
    EXPECT_EQ(blockCopied ? c.inputBlock : c.outputBlock, output.bir.SecurityBlock.Length);
    if (c.expected != 0) {
      EXPECT_EQ(Bytes(c.outputData, 0), output.data);  // no data written on failure
    } else if (c.outputData != 0) {
      EXPECT_EQ(0x14, output.bir.Header.Type);
      Record decrypted(c.outputData);
      ASSERT_EQ(0u, KoBioFPI_DecryptBIR(&output.bir, &decrypted.bir));
      EXPECT_EQ(input.Data(), decrypted.Data());
    }
  }
}

TEST_F(AdminTest, AesSizesAndEmptyData) {
  ProvisionHost(AMBER_CALG_AES_256);
  for (uint32_t n : {100u, 96u}) {
    Record input = Template(n), query(0);
    ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &query.bir));
    EXPECT_EQ(112u, query.bir.BiometricData.Length) << n;
  }
  Record empty(0), query(0);
  EXPECT_EQ(AMBER_E_ENCRYPT_FAILED | F, KoBioFPI_EncryptBIR(&empty.bir, &query.bir));
  EXPECT_EQ(AMBER_E_DECRYPT_FAILED | F, KoBioFPI_DecryptBIR(&empty.bir, &query.bir));
}

// Data lengths at the top of the 32-bit range, under both ciphers. From
// 0xFFFFFFF0 (AES) and 0xFFFFFFF8 (3DES) bytes on, the ciphertext would pass
// 0xFFFFFFFF bytes: the size query and the encryption answer 0x8000817, the
// encryption after copying the header (its steps' order), and neither reads
// the data nor writes into the output's buffer, whatever capacity it claims.
// The longest data whose ciphertext fits is sized as usual. A ciphertext
// length of no whole blocks fails decryption (0x8000818) before it is read.
TEST_F(AdminTest, LengthsNearFourGigabytes) {
  uint8_t *wild = static_cast<uint8_t *>(test::InaccessibleAddress());
  ASSERT_NE(nullptr, wild);
  struct Case {
    uint32_t algorithm;
    uint32_t plain;
    uint32_t cipherSize;  // 0: does not fit
  };
  const Case cases[] = {
      {AMBER_CALG_AES_256, 0xFFFFFFEFu, 0xFFFFFFF0u}, {AMBER_CALG_AES_256, 0xFFFFFFF0u, 0},
      {AMBER_CALG_AES_256, 0xFFFFFFFFu, 0},           {AMBER_CALG_3DES, 0xFFFFFFF7u, 0xFFFFFFF8u},
      {AMBER_CALG_3DES, 0xFFFFFFF8u, 0},              {AMBER_CALG_3DES, 0xFFFFFFFFu, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.algorithm << " " << c.plain);
    ProvisionHost(c.algorithm);
    Record input(0), query(0);
    input.bir.BiometricData.Length = c.plain;
    input.bir.BiometricData.Data = wild;
    if (c.cipherSize != 0) {
      ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &query.bir));
      EXPECT_EQ(c.cipherSize, query.bir.BiometricData.Length);
      continue;
    }
    EXPECT_EQ(AMBER_E_ENCRYPT_FAILED | F, KoBioFPI_EncryptBIR(&input.bir, &query.bir));
    EXPECT_EQ(0u, query.bir.BiometricData.Length);
    EXPECT_EQ(nullptr, query.bir.BiometricData.Data);

    Record output(16);
    output.bir.Header.Quality = 1;
    output.bir.BiometricData.Length = 0xFFFFFFFFu;  // a capacity it does not have
    EXPECT_EQ(AMBER_E_ENCRYPT_FAILED | F, KoBioFPI_EncryptBIR(&input.bir, &output.bir));
    EXPECT_EQ(77, output.bir.Header.Quality);
    EXPECT_EQ(0xFFFFFFFFu, output.bir.BiometricData.Length);
    EXPECT_EQ(Bytes(16, 0), output.data);
  }
  for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFF9u}) {
    SCOPED_TRACE(length);
    Record cipher(0), plain(16);
    cipher.bir.BiometricData.Length = length;
    cipher.bir.BiometricData.Data = wild;
    plain.bir.BiometricData.Length = 0xFFFFFFFFu;
    EXPECT_EQ(AMBER_E_DECRYPT_FAILED | F, KoBioFPI_DecryptBIR(&cipher.bir, &plain.bir));
    EXPECT_EQ(Bytes(16, 0), plain.data);
  }
}

#if defined(__linux__)
// Whether [begin, end) holds the n bytes at needle, read as plain bytes
// (whatever AddressSanitizer makes of the memory it looks into).
__attribute__((no_sanitize_address)) bool Holds(uintptr_t begin, uintptr_t end, const uint8_t *needle, size_t n) {
  const auto *p = reinterpret_cast<const volatile uint8_t *>(begin);
  for (uintptr_t at = 0; at + n <= end - begin; ++at) {
    size_t i = 0;
    while (i < n && p[at + i] == needle[i]) ++i;
    if (i == n) return true;
  }
  return false;
}

// The secrets a host keeps for long, a secret key set through the exports
// and the installation key material, sit in pages a core dump leaves out:
// the key material in pages marked dd, and the secret key's 64-byte block,
// kept by the cache and the cipher, found in such pages and in no other
// private writable memory of the process (heaps, stacks, the data of its
// libraries). The test's own copies live in a page of its own marked dd.
TEST_F(AdminTest, KeptSecretsStayOutOfCoreDumps) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  auto *own = static_cast<uint8_t *>(mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(MAP_FAILED, static_cast<void *>(own));
  ASSERT_EQ(0, madvise(own, page, MADV_DONTDUMP));
  char *secret = reinterpret_cast<char *>(own);
  memcpy(secret, "Dump7Secret-Qx", 15);
  uint8_t *block = own + 64;
  size_t n = strlen(secret);
  memcpy(block, secret, n);
  while (n < 31) block[n++] = '0';
  memcpy(block + n, SecretKeySuffix, sizeof SecretKeySuffix - 1);

  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword));
  ASSERT_EQ(0u, KoBioSPI_InitSecretKey("Scanner", AMBER_CALG_AES_256, secret, kPassword));
  test::AttachAs(kHost);  // the key cached from the registry
  Record input = Template(100), output(112);
  ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &output.bir));  // and kept by the cipher

  ASSERT_NE(nullptr, AttachedFpiContext()->store().keyMaterial());
  EXPECT_TRUE(test::LeftOutOfCoreDumps(AttachedFpiContext()->store().keyMaterial()));
  EXPECT_TRUE(test::LeftOutOfCoreDumps(AttachedSpiContext()->store().keyMaterial()));
  size_t dumped = 0, leftOut = 0;
  const auto ownBegin = reinterpret_cast<uintptr_t>(own);
  for (const test::MemoryMapping &m : test::MemoryMappings()) {
    // Not the test's own page; not mappings of a gigabyte or more (the
    // sanitizers' shadow memory, reserved and never written).
    if (!m.privateWritable || m.end - m.begin >= (uintptr_t{1} << 30) || (ownBegin >= m.begin && ownBegin < m.end)) {
      continue;
    }
    if (Holds(m.begin, m.end, block, kSecretKeyBlockSize)) (m.dontDump ? leftOut : dumped)++;
  }
  EXPECT_EQ(0u, dumped) << "the secret key's block in memory a core dump carries";
  EXPECT_GE(leftOut, 1u) << "the secret key's block found nowhere";
  explicit_bzero(own, page);
  munmap(own, page);
}
#endif

TEST_F(AdminTest, DecryptNeverWritesPastTheOutput) {
  ProvisionHost(AMBER_CALG_AES_256);
  Record input = Template(40), encrypted(48);
  ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &encrypted.bir));
  Record small(39);
  EXPECT_EQ(AMBER_E_DECRYPT_FAILED | F, KoBioFPI_DecryptBIR(&encrypted.bir, &small.bir));
  EXPECT_EQ(Bytes(39, 0), small.data);
  EXPECT_EQ(39u, small.bir.BiometricData.Length);
  Record none(0);
  none.bir.BiometricData.Length = 100;
  EXPECT_EQ(AMBER_E_DECRYPT_FAILED | F, KoBioFPI_DecryptBIR(&encrypted.bir, &none.bir));
  Record exact(40);
  EXPECT_EQ(0u, KoBioFPI_DecryptBIR(&encrypted.bir, &exact.bir));
  EXPECT_EQ(input.Data(), exact.Data());
}

TEST_F(AdminTest, SecurityBlocksTravelWithTheRecord) {
  ProvisionHost(AMBER_CALG_3DES);
  Record input = Template(16);
  input.block.assign(12, 0x77);
  input.bir.SecurityBlock.Length = 12;
  input.bir.SecurityBlock.Data = input.block.data();
  Record encrypted(24, 12);
  ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &encrypted.bir));
  EXPECT_EQ(Bytes(12, 0x77), encrypted.block);
  // Decrypting into a record without a block buffer still succeeds.
  Record plain(24);
  ASSERT_EQ(0u, KoBioFPI_DecryptBIR(&encrypted.bir, &plain.bir));
  EXPECT_EQ(nullptr, plain.bir.SecurityBlock.Data);
  EXPECT_EQ(0u, plain.bir.SecurityBlock.Length);
  EXPECT_EQ(input.Data(), plain.Data());
}

TEST_F(AdminTest, AnotherApplicationCannotDecrypt) {
  ProvisionHost(AMBER_CALG_3DES, "Secret12");
  Record input = Template(30), encrypted(32);
  ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &encrypted.bir));
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Other", 4, 0, kPassword));
  ASSERT_EQ(0u, KoBioSPI_InitSecretKey("Other", AMBER_CALG_3DES, "Other123", kPassword));
  test::AttachAs("/apps/Other");
  Record out(32);
  EXPECT_EQ(AMBER_E_DECRYPT_FAILED | F, KoBioFPI_DecryptBIR(&encrypted.bir, &out.bir));
  EXPECT_EQ(Bytes(32, 0), out.data);
}

TEST_F(AdminTest, NewKeyTakesEffectInTheSameProcess) {
  ProvisionHost(AMBER_CALG_3DES, "Secret12");
  Record input = Template(20), first(24), second(32);
  ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &first.bir));
  ASSERT_EQ(0u, KoBioSPI_InitSecretKey("Scanner", AMBER_CALG_AES_256, "Newer123", kPassword));
  ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&input.bir, &second.bir));
  EXPECT_EQ(32u, second.bir.BiometricData.Length);
  Record out(32);
  EXPECT_EQ(AMBER_E_DECRYPT_FAILED | F, KoBioFPI_DecryptBIR(&first.bir, &out.bir));
}

TEST_F(AdminTest, SecretKeyOfOtherKeyMaterialIsNoKey) {
  ProvisionHost(AMBER_CALG_3DES);
  // Another installation's number: the stored key no longer decrypts.
  test::SetInstallationNumber(78);
  test::AttachAs(kHost);
  Record input = Template(8), output(16);
  EXPECT_EQ(AMBER_E_NO_SECRET_KEY | F, KoBioFPI_EncryptBIR(&input.bir, &output.bir));
}

TEST_F(AdminTest, DeleteParameterRemovesTheApplicationKey) {
  const std::string longName(256, 'a');
  EXPECT_EQ(AMBER_E_BAD_APPLICATION_NAME | F, KoBioSPI_DeleteParameter(nullptr));
  EXPECT_EQ(AMBER_E_BAD_APPLICATION_NAME | F, KoBioSPI_DeleteParameter(""));
  EXPECT_EQ(AMBER_E_BAD_APPLICATION_NAME | F, KoBioSPI_DeleteParameter(longName.c_str()));
  EXPECT_EQ(AMBER_E_DELETE_FAILED | F, KoBioSPI_DeleteParameter("Never"));
  EXPECT_FALSE(test::KeyExists(test::ApplicationPath("Never").c_str()));

  // With its UserInfo key, and without one.
  ProvisionHost(AMBER_CALG_3DES);
  const std::string userInfo = test::ApplicationPath("Scanner") + kUserInfoSuffix;
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(userInfo.c_str(), settings::kVerifyFailureCount.name, REG_BINARY,
                                               Bytes(8, 1)));
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool", 1, 0, kPassword));
  EXPECT_EQ(0u, KoBioSPI_DeleteParameter("Scanner"));
  EXPECT_EQ(0u, KoBioSPI_DeleteParameter("Tool"));
  for (const char *name : {"Scanner", "Tool"}) EXPECT_FALSE(test::KeyExists(test::ApplicationPath(name).c_str())) << name;
  EXPECT_FALSE(test::KeyExists(userInfo.c_str()));
  EXPECT_EQ(AMBER_E_DELETE_FAILED | F, KoBioSPI_DeleteParameter("Tool"));
  // The installation's own values stay.
  EXPECT_TRUE(VerifyAdminPassword(kPassword));
  Bytes number;
  EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &number));
  // This process keeps answering from what it has cached.
  EXPECT_EQ(0u, KoBioFPI_CheckMode(0x0001));
  EXPECT_EQ(AMBER_E_NOT_PERMITTED | F, KoBioFPI_CheckMode(0x0800));
}

TEST_F(AdminTest, DeleteParameterLeavesAKeyWithOtherSubkeys) {
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Tool", 1, 0, kPassword));
  const std::string extra = test::ApplicationPath("Tool") + "\\Extra";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(extra.c_str(), "x", REG_DWORD, Bytes(4, 1)));
  EXPECT_EQ(AMBER_E_DELETE_FAILED | F, KoBioSPI_DeleteParameter("Tool"));
  EXPECT_TRUE(test::HasSetting("Tool", settings::kRestrictionMode));
  EXPECT_FALSE(test::KeyExists((test::ApplicationPath("Tool") + kUserInfoSuffix).c_str()));
}

}  // namespace
}  // namespace ambercrypt
