// The zeroing check itself, each case in a child process it must fail (or
// let pass); then the library's roads that carry secrets, every secret
// watched and the test's own copies in static storage or wiped: the check
// finds nothing on any of them. The roads run only with AMBERCRYPT_ZEROCHECK=1
// (scripts/test.sh sets it), where a finding also fails the whole program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <string>

#include "core/admin_password.h"
#include "ambercrypt/ambercrypt.h"
#include "ambercrypt/verifier.h"
#include "crypto/secret_arena.h"
#include "crypto/secure_buffer.h"
#include "crypto/wiping_allocator.h"
#include "support/test_support.h"
#include "zerocheck.h"

namespace ambercrypt {
namespace {

using test::Bytes;

const char kPlanted[] = "Planted-Secret-0042";
const size_t kPlantedLength = sizeof kPlanted - 1;

// Called through these, so that the compiler cannot drop an allocation it
// sees is never read.
void *(*volatile g_allocate)(size_t) = malloc;
void (*volatile g_release)(void *) = free;
int (*volatile g_allocateAligned)(void **, size_t, size_t) = posix_memalign;

uint8_t *Planted(size_t size) {
  auto *block = static_cast<uint8_t *>(g_allocate(size));
  memset(block, 0x11, size);
  memcpy(block + size - kPlantedLength - 3, kPlanted, kPlantedLength);
  return block;
}

struct CheckCase {
  const char *what;
  void (*run)();
  bool caught;
};

const CheckCase kCheckCases[] = {
    {"a freed block holding it", [] { g_release(Planted(64)); }, true},
    {"a block wiped before it is freed",
     [] {
       uint8_t *block = Planted(64);
       WipeMemory(block, 64);
       g_release(block);
     },
     false},
    {"the block realloc leaves behind",
     [] {
       uint8_t *block = static_cast<uint8_t *>(realloc(Planted(40), 1 << 16));
       WipeMemory(block, 40);
       free(block);
     },
     true},
    {"a std::string deleted", [] { delete new std::string(std::string(kPlanted) + " and more text"); }, true},
    {"an aligned block",
     [] {
       void *block = nullptr;
       ASSERT_EQ(0, g_allocateAligned(&block, 64, 256));
       memcpy(block, kPlanted, kPlantedLength);
       g_release(block);
     },
     true},
    {"CSecureBuffer copies", [] { CSecureBuffer copy = CSecureBuffer(kPlanted, kPlantedLength); }, false},
    {"the secret pages holding it",
     [] {
       CSecureBuffer kept = CSecureBuffer::Kept(kPlanted, kPlantedLength);
       const SecretPages pages = CurrentSecretPages();
       ambercrypt_zerocheck_scan(pages.base, pages.size);
     },
     true},
    {"a kept buffer given back to the secret pages",
     [] {
       { CSecureBuffer kept = CSecureBuffer::Kept(kPlanted, kPlantedLength); }
       const SecretPages pages = CurrentSecretPages();
       ASSERT_NE(nullptr, pages.base);
       ambercrypt_zerocheck_scan(pages.base, pages.size);
     },
     false},
    {"a SecretString grown through several buffers",
     [] {
       SecretString text(kPlanted);
       for (int i = 0; i < 6; ++i) text += text;
       ASSERT_EQ(64 * kPlantedLength, text.size());
     },
     false},
};

TEST(ZeroCheckTest, FailsTheProgramForEachFreedBlockThatHoldsASecret) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh program, started with the check on
  setenv("AMBERCRYPT_ZEROCHECK", "1", 1);
  for (const CheckCase &c : kCheckCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(
        {
          ambercrypt_zerocheck_watch(kPlanted, kPlantedLength);
          c.run();
          std::exit(0);
        },
        ::testing::ExitedWithCode(c.caught ? 86 : 0), c.caught ? "still holds watched secret #0 \\(19 bytes\\)" : "");
  }
}

TEST(ZeroCheckTest, TakesSecretsFromTheEnvironmentAndIdlesWithoutIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("AMBERCRYPT_ZEROCHECK_SECRETS", "Env-Secret-1\nPlanted-Secret-0042\n", 1);
  setenv("AMBERCRYPT_ZEROCHECK", "1", 1);
  EXPECT_EXIT(
      {
        g_release(Planted(32));
        std::exit(0);
      },
      ::testing::ExitedWithCode(86), "watched secret #1");
  unsetenv("AMBERCRYPT_ZEROCHECK");
  EXPECT_EXIT(
      {
        g_release(Planted(32));
        std::exit(ambercrypt_zerocheck_active() == 0 && ambercrypt_zerocheck_findings() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  unsetenv("AMBERCRYPT_ZEROCHECK_SECRETS");
}

// ---- The library's roads ------------------------------------------------------

const char kPassword[] = "Zero-Admin-Passw0rd";
const char kSecretKey[] = "Zero-Secret-Key-9";
const char kKeyText[] = "Zero-Key-Text-For-Hmac-7";
const char kHost[] = "/apps/ZeroHost";
const char kApplication[] = "ZeroHost";

// The plaintext biometric data: static, never copied by the test.
uint8_t g_plain[100];
uint8_t g_cipher[112];
uint8_t g_decrypted[112];

class SecretRoadsTest : public test::StoreTest {
 protected:
  void SetUp() override {
    if (!ambercrypt_zerocheck_active()) GTEST_SKIP() << "runs with AMBERCRYPT_ZEROCHECK=1 (scripts/test.sh)";
    // A block of the test's own keeps the secret pages mapped through the
    // detach, so that they can be looked into after it.
    pin_ = AllocateSecret(16);
    StoreTest::SetUp();
    before_ = ambercrypt_zerocheck_findings();
    test::ProvisionInstallation(kPassword, 2468);
    test::AttachAs(kHost);
    test::WatchSecret(kKeyText);
    test::WatchDerivedKey(kKeyText, strlen(kKeyText), CALG_3DES);
    for (size_t i = 0; i < sizeof g_plain; ++i) g_plain[i] = static_cast<uint8_t>(0xC0 ^ (i * 13));
    test::WatchSecret(g_plain, sizeof g_plain);
  }
  void TearDown() override {
    if (!ambercrypt_zerocheck_active()) return;
    test::Detach();
    // The secret pages are not the allocator's: every kept secret must be
    // back, and wiped, once the library has detached.
    const SecretPages pages = CurrentSecretPages();
    EXPECT_EQ(pin_ != nullptr ? 1u : 0u, pages.blocksInUse) << "kept secrets outlived the detach";
    ambercrypt_zerocheck_scan(pages.base, pages.size);
    if (pin_ != nullptr) ReleaseSecret(pin_, 16);
    EXPECT_EQ(before_, ambercrypt_zerocheck_findings()) << "a freed block held a secret: see the report above";
    StoreTest::TearDown();
  }
  unsigned long before_ = 0;
  void *pin_ = nullptr;
};

TEST_F(SecretRoadsTest, AdministrationAndBirEncryption) {
  test::WatchSecretKey(kSecretKey);
  EXPECT_TRUE(VerifyAdminPassword(kPassword));
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction(kApplication, 4, 0, kPassword));
  for (uint32_t algorithm : {AMBER_CALG_3DES, AMBER_CALG_AES_256}) {
    SCOPED_TRACE(algorithm);
    ASSERT_EQ(0u, KoBioSPI_InitSecretKey(kApplication, algorithm, kSecretKey, kPassword));
    test::AttachAs(kHost);  // the key from the registry, as a restarted host has it
    BioAPI_BIR plain{}, encrypted{}, decrypted{};
    plain.BiometricData = {sizeof g_plain, g_plain};
    encrypted.BiometricData = {sizeof g_cipher, g_cipher};
    ASSERT_EQ(0u, KoBioFPI_EncryptBIR(&plain, &encrypted));
    decrypted.BiometricData = {sizeof g_decrypted, g_decrypted};
    ASSERT_EQ(0u, KoBioFPI_DecryptBIR(&encrypted, &decrypted));
    ASSERT_EQ(sizeof g_plain, decrypted.BiometricData.Length);
    EXPECT_EQ(0, memcmp(g_plain, g_decrypted, sizeof g_plain));
    WipeMemory(g_decrypted, sizeof g_decrypted);
  }
  EXPECT_EQ(0u, KoBioSPI_DeleteParameter(kApplication));
}

TEST_F(SecretRoadsTest, KeyTextPolicyChallengeAndVerifier) {
  ResponseMethodRecord method = test::ResponseMethod(AMBER_RESPONSE_HMAC, kKeyText);
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction(kApplication, 4, 0, kPassword));
  ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter(kApplication, 1000, 3, 1, 0, method, kPassword));
  ASSERT_EQ(0u, KoBioSPI_InitIdentifyParameter(kApplication, 1000, 3, 1, 0, method, kPassword));
  WipeMemory(&method, sizeof method);
  test::AttachAs(kHost);

  BioAPI_BIR person{};
  person.BiometricData = {sizeof g_plain, g_plain};
  int32_t allowed = 0;
  uint8_t flag = 0;
  ASSERT_EQ(0u, KoBioFPI_VerifySecurityStatas(&person, 100, &allowed, &flag));
  ASSERT_EQ(0u, KoBioFPI_UpdateVerifyStatus(1, &person, 100, 80));
  static uint8_t response[20];
  static VerifyChallengeRecord record;
  memset(&record, 0, sizeof record);
  record.responseData = response;
  record.responseLength = sizeof response;
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge("Zero7Challenge", &record));

  AmberVerifierKey key = {AMBER_RESPONSE_HMAC, kKeyText, strlen(kKeyText), nullptr, 0};
  EXPECT_EQ(AMBER_VERIFIER_VALID, AmberVerifierCheckVerify(&key, "Zero7Challenge", &record));
  response[0] ^= 1;
  EXPECT_EQ(AMBER_VERIFIER_INVALID, AmberVerifierCheckVerify(&key, "Zero7Challenge", &record));

  uint32_t found = 0;
  BioAPI_CANDIDATE *none = nullptr;
  ASSERT_EQ(0u, KoBioFPI_IdentifySecurityStatas(nullptr, 100, &allowed, &flag));
  ASSERT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&found, &none, 50));
  static IdentifyChallengeRecord identify;
  memset(&identify, 0, sizeof identify);
  identify.responseData = response;
  identify.responseLength = sizeof response;
  ASSERT_EQ(0u, KoBioSPI_IdentifyChallenge("Zero7Challenge", &identify));
  EXPECT_EQ(AMBER_VERIFIER_VALID, AmberVerifierCheckIdentify(&key, "Zero7Challenge", &identify, 0, nullptr));
}

TEST_F(SecretRoadsTest, SignedReferenceBir) {
  test::InstallTestCertificates();
  Bytes issuer, serial;
  test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(test::TestDataPath("signer.cert.pem"))), &issuer,
                          &serial);
  IssuerSerial signer;
  signer.Issuer = {static_cast<uint32_t>(issuer.size()), issuer.data()};
  signer.SerialNumber = {static_cast<uint32_t>(serial.size()), serial.data()};
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction(kApplication, 4, 0, kPassword));
  ASSERT_EQ(0u, KoBioSPI_InitCerfificate(kApplication, &signer, kPassword));

  static uint8_t data[sizeof g_plain], block[8192];
  BioAPI_BIR input{}, output{};
  input.BiometricData = {sizeof g_plain, g_plain};
  ASSERT_EQ(0u, KoBioSPI_DigitalSignBIR(&input, &output));  // the size of the message
  ASSERT_LE(output.SecurityBlock.Length, sizeof block);
  output.BiometricData = {sizeof data, data};
  output.SecurityBlock.Data = block;
  ASSERT_EQ(0u, KoBioSPI_DigitalSignBIR(&input, &output));
  EXPECT_EQ(0u, KoBioSPI_VerifyReferenceBIR(&output));
  WipeMemory(data, sizeof data);
  WipeMemory(block, sizeof block);
}

}  // namespace
}  // namespace ambercrypt

// A short secret would fit the string object's own small-string buffer,
// which no allocator frees, so the zero check could never see it there: its
// text must live in an allocated (wiped) buffer from the start.
TEST(SecretStringTest, ShortTextNeverSitsInTheObjectItself) {
  using ambercrypt::SecretString;
  const char kShort[] = "KeyText1";
  alignas(SecretString) unsigned char storage[sizeof(SecretString)];
  auto inObject = [&] {
    return std::search(storage, storage + sizeof storage, kShort, kShort + sizeof kShort - 1) != storage + sizeof storage;
  };
  using Make = void (*)(void *, const char *);
  const Make makers[] = {
      [](void *at, const char *s) { new (at) SecretString(s); },
      [](void *at, const char *s) { new (at) SecretString(s, strlen(s)); },
      [](void *at, const char *s) { new (at) SecretString(s, s + strlen(s)); },
      [](void *at, const char *s) {
        auto *text = new (at) SecretString;
        *text += s;
      },
      [](void *at, const char *s) {
        SecretString other(s);
        new (at) SecretString(std::move(other));
      },
  };
  for (Make make : makers) {
    memset(storage, 0, sizeof storage);
    make(storage, kShort);
    auto *text = std::launder(reinterpret_cast<SecretString *>(storage));
    EXPECT_EQ(kShort, std::string(text->begin(), text->end()));
    EXPECT_FALSE(inObject());
    text->~SecretString();
  }
}
