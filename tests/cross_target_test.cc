// Same bytes on both targets. WritesItsVectors computes ciphertexts, HMACs,
// signed messages, stored registry values, encrypted BIRs, a signed BIR and
// challenge responses from fixed inputs and, with AMBERCRYPT_VECTORS_OUT set,
// writes them to that file. MatchesTheOtherTarget, with AMBERCRYPT_VECTORS_IN
// naming the other target's file, checks that every value is the same here,
// verifies the other's signed messages, signed BIR and challenge responses
// (also with the response verifier for applications), and decrypts its BIRs. scripts/test.sh runs the two crosswise between the
// Linux build and the Windows build under Wine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "ambercrypt/verifier.h"
#include "crypto/base64.h"
#include "crypto/ccrypt.h"
#include "frame/entry.h"
#include "policy/clock.h"
#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

using test::Bytes;
using test::ToHex;

// Deterministic bytes from a small generator, the same on every target.
Bytes Pattern(uint32_t seed, size_t n) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

const char kPassword[] = "Admin123";
const char kKeyPath[] = "SOFTWARE\\Dravelo\\BioAPI\\Ambervault\\WinCrypto\\CrossTarget";
// The local time of the lockouts: 2024-01-21, as a FILETIME count.
constexpr uint64_t kLockTime = 133500000000000000ull;
constexpr uint64_t kMinute = 600000000ull;
const char *const kPolicyValues[] = {"KoSettingInfo15", "KoSettingInfo16", "KoSettingInfo17", "KoSettingInfo18",
                                     "KoSettingInfo19", "KoSettingInfo20", "KoSettingInfo21", "KoSettingInfo22",
                                     "KoSettingInfo23", "KoSettingInfo24", "KoSettingInfo25", "KoSettingInfo27"};
const char kCrossChallenge[] = "Cross9Target";
constexpr int32_t kChallengeFmr = -1234567;
constexpr uint8_t kChallengeLevel = 77;
const char *const kLockoutValues[] = {"KoSettingInfo12", "KoSettingInfo13", "KoSettingInfo33", "KoSettingInfo35",
                                      "KoSettingInfo36", "KoSettingInfo37", "KoSettingInfo38"};

class CrossTargetTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::InstallTestCertificates();
    test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(test::TestDataPath("signer.cert.pem"))), &issuer_,
                            &serial_);
  }

  CERT_ISSUER_SERIAL_NUMBER Signer() {
    CERT_ISSUER_SERIAL_NUMBER id;
    id.Issuer = {static_cast<DWORD>(issuer_.size()), issuer_.data()};
    id.SerialNumber = {static_cast<DWORD>(serial_.size()), serial_.data()};
    return id;
  }

  static Bytes BirTemplate(uint32_t i) { return Pattern(500 + i, 37 + 29 * i); }

  // name -> hex of every value this target computes.
  std::map<std::string, std::string> Compute() {
    std::map<std::string, std::string> v;
    for (uint32_t i = 0; i < 6; ++i) {
      Bytes material = Pattern(i, 1 + 11 * i), iv = Pattern(100 + i, 3 + 3 * i), data = Pattern(200 + i, 1 + 23 * i);
      for (ALG_ID alg : {static_cast<ALG_ID>(CALG_3DES), static_cast<ALG_ID>(CALG_AES_256)}) {
        const std::string suffix = (alg == CALG_3DES ? "3des-" : "aes-") + std::to_string(i);
        CCrypt crypt;
        EXPECT_EQ(0u, crypt.SetAlgorithm(alg));
        Bytes buffer = data;
        buffer.resize(data.size() + 16);
        uint32_t n = static_cast<uint32_t>(data.size());
        EXPECT_EQ(0u, crypt.Encrypt(buffer.data(), &n, static_cast<uint32_t>(buffer.size()), material.data(),
                                    static_cast<uint32_t>(material.size()), iv.data(),
                                    static_cast<uint32_t>(iv.size())));
        v["enc-" + suffix] = ToHex(buffer.data(), n);
        Bytes mac(20);
        uint32_t macLength = 20;
        EXPECT_EQ(0u, crypt.Hmac(data.data(), static_cast<uint32_t>(data.size()), mac.data(), &macLength,
                                 material.data(), static_cast<uint32_t>(material.size())));
        v["hmac-" + suffix] = ToHex(mac);
      }
      CCrypt signer;
      CERT_ISSUER_SERIAL_NUMBER id = Signer();
      uint32_t size = 0;
      EXPECT_EQ(0u, signer.SignMessage(&id, data.data(), static_cast<uint32_t>(data.size()), nullptr, &size));
      Bytes message(size);
      EXPECT_EQ(0u, signer.SignMessage(&id, data.data(), static_cast<uint32_t>(data.size()), message.data(), &size));
      v["sign-" + std::to_string(i)] = ToHex(message);
    }

    // Stored registry values, keyed with installation number 77's material.
    CSecureBuffer keyMaterial = BuildKeyMaterial(77);
    const uint8_t *material = keyMaterial.data();
    const uint32_t length = keyMaterial.size();
    v["keymaterial-77"] = ToHex(material, length);
    CRegCtrl reg;
    EXPECT_TRUE(reg.Open(kKeyPath, 1, KEY_ALL_ACCESS));
    const int32_t numbers[] = {0, -5, 2147483647};
    for (int32_t n : numbers) {
      EXPECT_EQ(0u, reg.SetEncryptedInt("n", n, material, length));
      Bytes stored;
      EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKeyPath, "n", &stored));
      v["regint-" + std::to_string(n)] = ToHex(stored);
    }
    Bytes block = Pattern(300, 64);
    EXPECT_EQ(0u, reg.SetEncryptedBinary("b", block.data(), 64, material, length));
    Bytes stored;
    EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKeyPath, "b", &stored));
    v["regbin"] = ToHex(stored);
    char appKey[30];
    EXPECT_TRUE(HashNameToBase64("Scanner", appKey));
    v["appkey-Scanner"] = ToHex(reinterpret_cast<uint8_t *>(appKey), strlen(appKey));

    // BIRs encrypted through the exports by an application "Scanner".
    for (uint32_t algorithm : {AMBER_CALG_3DES, AMBER_CALG_AES_256}) {
      test::ResetStore();
      test::ProvisionInstallation(kPassword, 77);
      test::AttachAs("C:\\Apps\\Scanner.EXE");
      EXPECT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword));
      EXPECT_EQ(0u, KoBioSPI_InitSecretKey("Scanner", algorithm, "Secret12", kPassword));
      test::AttachAs("C:\\Apps\\Scanner.EXE");
      for (uint32_t i = 0; i < 3; ++i) {
        Bytes plain = BirTemplate(i), cipher(plain.size() + 16);
        BioAPI_BIR in, out;
        memset(&in, 0, sizeof in);
        memset(&out, 0, sizeof out);
        in.BiometricData = {static_cast<uint32_t>(plain.size()), plain.data()};
        out.BiometricData = {static_cast<uint32_t>(cipher.size()), cipher.data()};
        EXPECT_EQ(0u, KoBioFPI_EncryptBIR(&in, &out));
        v["bir-" + std::to_string(algorithm) + "-" + std::to_string(i)] = ToHex(cipher.data(), out.BiometricData.Length);
      }
    }

    // Both policies and both lockout records, written through the exports at
    // a fixed time: each family fails until it locks.
    SetClockForTesting(&LockTime);
    EXPECT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", 300, 2, 30, 1, HmacMethod(), kPassword));
    const ResponseMethodRecord signature = test::ResponseMethod(AMBER_RESPONSE_SIGNATURE);
    EXPECT_EQ(0u, KoBioSPI_InitIdentifyParameter("Scanner", 301, 2, 45, 0, signature, kPassword));
    test::AttachAs("C:\\Apps\\Scanner.EXE");
    Bytes person = Pattern(600, 48);
    BioAPI_BIR bir = test::BirOf(person);
    int32_t allowed = 0;
    uint8_t flag = 0;
    uint32_t none = 0;
    BioAPI_CANDIDATE *candidates = nullptr;
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(0u, KoBioFPI_VerifySecurityStatas(&bir, 5, &allowed, &flag));
      EXPECT_EQ(0u, KoBioFPI_UpdateVerifyStatus(0, &bir, 5, 40));
      EXPECT_EQ(0u, KoBioFPI_IdentifySecurityStatas(nullptr, 5, &allowed, &flag));
      EXPECT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&none, &candidates, 40));
    }
    EXPECT_EQ(AMBER_E_LOCKED_NOW | AMBER_ERROR_FLAG, KoBioFPI_VerifySecurityStatas(&bir, 5, &allowed, &flag));
    EXPECT_EQ(AMBER_E_LOCKED_NOW | AMBER_ERROR_FLAG, KoBioFPI_IdentifySecurityStatas(nullptr, 5, &allowed, &flag));
    EXPECT_EQ(0u, KoBioFPI_UpdateVerifyStatus(0, &bir, 5, 40));
    EXPECT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&none, &candidates, 40));
    SetClockForTesting(nullptr);
    for (const char *name : kPolicyValues) {
      Bytes stored;
      EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(ApplicationKeyPath(appKey).c_str(), name, &stored)) << name;
      v[std::string("policy-") + name] = ToHex(stored);
    }
    for (const char *name : kLockoutValues) {
      Bytes stored;
      EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(UserInfoKeyPath(appKey).c_str(), name, &stored)) << name;
      v[std::string("lockout-") + name] = ToHex(stored);
    }

    // A BIR signed through the exports with "Scanner"'s certificate, the
    // reference signer.
    IssuerSerial id = SignerOf();
    EXPECT_EQ(0u, KoBioSPI_InitCerfificate("Scanner", &id, kPassword));
    Bytes content = SignedContent();
    BioAPI_BIR input = test::BirOf(content);
    input.Header.Quality = 50;
    BioAPI_BIR output;
    memset(&output, 0, sizeof output);
    EXPECT_EQ(0u, KoBioSPI_DigitalSignBIR(&input, &output));
    Bytes data(content.size()), message(output.SecurityBlock.Length);
    output.BiometricData.Data = data.data();
    output.SecurityBlock.Data = message.data();
    EXPECT_EQ(0u, KoBioSPI_DigitalSignBIR(&input, &output));
    EXPECT_EQ(content, data);
    v["signedbir"] = ToHex(message.data(), output.SecurityBlock.Length);

    // Challenge responses over a verify and an identify outcome by both
    // methods, signed by the reference signer as the end-user certificate.
    // The last round leaves the policies' methods as they were above.
    EXPECT_EQ(0u, KoBioSPI_SetEndUserParameter("Scanner", &id));
    for (uint32_t verifyMethod : {AMBER_RESPONSE_SIGNATURE, AMBER_RESPONSE_HMAC}) {
      const uint32_t identifyMethod =
          verifyMethod == AMBER_RESPONSE_HMAC ? AMBER_RESPONSE_SIGNATURE : AMBER_RESPONSE_HMAC;
      EXPECT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", 300, 2, 30, 1, MethodRecord(verifyMethod), kPassword));
      EXPECT_EQ(0u, KoBioSPI_InitIdentifyParameter("Scanner", 301, 2, 45, 0, MethodRecord(identifyMethod), kPassword));
      test::AttachAs("C:\\Apps\\Scanner.EXE");
      EXPECT_EQ(0u, KoBioFPI_UpdateVerifyStatus(1, &bir, kChallengeFmr, kChallengeLevel));
      VerifyChallengeRecord verify;
      memset(&verify, 0, sizeof verify);
      EXPECT_EQ(0u, KoBioSPI_VerifyChallenge(kCrossChallenge, &verify));
      Bytes verifyResponse(verify.responseLength);
      verify.responseData = verifyResponse.data();
      EXPECT_EQ(0u, KoBioSPI_VerifyChallenge(kCrossChallenge, &verify));
      v["challenge-verify-" + std::to_string(verifyMethod)] = ToHex(verifyResponse);

      uint32_t count = 2;
      CrossCandidates list;
      BioAPI_CANDIDATE *array = list.records;
      EXPECT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&count, &array, kChallengeLevel));
      IdentifyChallengeRecord identify;
      memset(&identify, 0, sizeof identify);
      EXPECT_EQ(0u, KoBioSPI_IdentifyChallenge(kCrossChallenge, &identify));
      Bytes identifyResponse(identify.responseLength);
      identify.responseData = identifyResponse.data();
      EXPECT_EQ(0u, KoBioSPI_IdentifyChallenge(kCrossChallenge, &identify));
      v["challenge-identify-" + std::to_string(identifyMethod)] = ToHex(identifyResponse);
    }
    return v;
  }

  // The response texts of the challenges above, as their receiver builds them.
  static std::string VerifyResponseText() {
    Bytes person = Pattern(600, 48);
    Bytes digest = test::Sha1(std::string(person.begin(), person.end()));
    char digestText[40] = {};
    Base64Encode(digest.data(), digest.size(), digestText, nullptr);
    return "1" + std::to_string(kChallengeLevel) + std::to_string(kChallengeFmr) + digestText + kCrossChallenge;
  }
  static std::string IdentifyResponseText() {
    return "2" + std::to_string(kChallengeLevel) + "3100" + "7-2000" + kCrossChallenge;
  }
  static ResponseMethodRecord MethodRecord(uint32_t method) {
    return method == AMBER_RESPONSE_HMAC ? HmacMethod() : test::ResponseMethod(method);
  }
  // Two candidates of a BSP: index 3 at rate 100, index 7 at rate -2000.
  struct CrossCandidates {
    CrossCandidates() {
      memset(records, 0, sizeof records);
      records[0].BIRInArray = &indices[0];
      records[0].FMRAchieved = 100;
      records[1].BIRInArray = &indices[1];
      records[1].FMRAchieved = -2000;
    }
    uint32_t indices[2] = {3, 7};
    BioAPI_CANDIDATE records[2];
  };

  IssuerSerial SignerOf() {
    IssuerSerial id;
    id.Issuer = {static_cast<uint32_t>(issuer_.size()), issuer_.data()};
    id.SerialNumber = {static_cast<uint32_t>(serial_.size()), serial_.data()};
    return id;
  }
  static Bytes SignedContent() { return Pattern(700, 90); }
  static uint64_t LockTime() { return kLockTime; }
  static ResponseMethodRecord HmacMethod() { return test::ResponseMethod(AMBER_RESPONSE_HMAC, "Cross-target key"); }

  Bytes issuer_, serial_;
};

TEST_F(CrossTargetTest, WritesItsVectors) {
  auto values = Compute();
  EXPECT_EQ(6u * 4 + 6 + 1 + 3 + 1 + 1 + 6 + 12 + 7 + 1 + 4, values.size());
  EXPECT_EQ(16u, values["regint-0"].size());  // 8 stored bytes
  const char *out = getenv("AMBERCRYPT_VECTORS_OUT");
  if (out == nullptr) return;
  std::ofstream file(test::NativePath(out), std::ios::binary | std::ios::trunc);
  for (const auto &entry : values) file << entry.first << " " << entry.second << "\n";
  ASSERT_TRUE(file.good()) << out;
}

TEST_F(CrossTargetTest, MatchesTheOtherTarget) {
  const char *in = getenv("AMBERCRYPT_VECTORS_IN");
  if (in == nullptr) GTEST_SKIP() << "set AMBERCRYPT_VECTORS_IN to the other target's vectors";
  std::ifstream file(test::NativePath(in));
  ASSERT_TRUE(file.good()) << in;
  std::map<std::string, std::string> theirs;
  std::string name, hex;
  while (file >> name >> hex) theirs[name] = hex;
  auto ours = Compute();
  ASSERT_EQ(ours.size(), theirs.size());
  for (const auto &entry : ours) EXPECT_EQ(entry.second, theirs[entry.first]) << entry.first;

  // Their signed messages verify here and yield the data.
  for (uint32_t i = 0; i < 6; ++i) {
    Bytes message = test::FromHex(theirs["sign-" + std::to_string(i)]);
    CCrypt crypt;
    CERT_ISSUER_SERIAL_NUMBER id = Signer();
    Bytes content(2000);
    uint32_t size = static_cast<uint32_t>(content.size());
    ASSERT_EQ(0u, crypt.VerifyMessage(&id, message.data(), static_cast<uint32_t>(message.size()), content.data(),
                                      &size));
    EXPECT_EQ(Pattern(200 + i, 1 + 23 * i), Bytes(content.begin(), content.begin() + size));
  }
  // Their signed BIR verifies here with "Scanner"'s certificate, and not once
  // a byte of its data differs.
  Bytes block = test::FromHex(theirs["signedbir"]);
  ASSERT_FALSE(block.empty());
  Bytes content = SignedContent();
  BioAPI_BIR signedBir = test::BirOf(content);
  signedBir.Header.Type |= BioAPI_BIR_DATA_TYPE_SIGNED;
  signedBir.SecurityBlock = {static_cast<uint32_t>(block.size()), block.data()};
  EXPECT_EQ(0u, KoBioSPI_VerifyReferenceBIR(&signedBir));
  content[0] ^= 1;
  EXPECT_EQ(AMBER_E_SIGNATURE | AMBER_ERROR_FLAG, KoBioSPI_VerifyReferenceBIR(&signedBir));
  // Their challenge responses check out here: the HMACs recomputed from the
  // key text over the response texts, the signed ones verified and yielding
  // those texts.
  const std::string hmacKey = "Cross-target key";
  struct Response {
    const char *name;
    std::string text;
  } responses[] = {{"verify", VerifyResponseText()}, {"identify", IdentifyResponseText()}};
  for (const Response &r : responses) {
    const std::string prefix = std::string("challenge-") + r.name + "-";
    Bytes mac(20);
    uint32_t macLength = 20;
    CCrypt crypt;
    ASSERT_EQ(0u, crypt.Hmac(reinterpret_cast<const uint8_t *>(r.text.data()), static_cast<uint32_t>(r.text.size()),
                             mac.data(), &macLength, reinterpret_cast<const uint8_t *>(hmacKey.data()),
                             static_cast<uint32_t>(hmacKey.size())));
    EXPECT_EQ(ToHex(mac), theirs[prefix + std::to_string(AMBER_RESPONSE_HMAC)]) << r.name;
    Bytes message = test::FromHex(theirs[prefix + std::to_string(AMBER_RESPONSE_SIGNATURE)]);
    CERT_ISSUER_SERIAL_NUMBER id = Signer();
    Bytes content(2000);
    uint32_t size = static_cast<uint32_t>(content.size());
    ASSERT_EQ(0u, crypt.VerifyMessage(&id, message.data(), static_cast<uint32_t>(message.size()), content.data(),
                                      &size))
        << r.name;
    EXPECT_EQ(r.text, std::string(content.begin(), content.begin() + size)) << r.name;
  }
  // The response verifier for applications takes their responses as they
  // stand, from the records an application would hold, and refuses each with
  // one byte of the response changed.
  VerifyChallengeRecord verifyRecord;
  memset(&verifyRecord, 0, sizeof verifyRecord);
  verifyRecord.result = 1;
  verifyRecord.achievedFmr = kChallengeFmr;
  verifyRecord.level = kChallengeLevel;
  Bytes person = Pattern(600, 48);
  Bytes digest = test::Sha1(std::string(person.begin(), person.end()));
  Base64Encode(digest.data(), digest.size(), verifyRecord.digestText, nullptr);
  strcpy(verifyRecord.challenge, kCrossChallenge);
  IdentifyChallengeRecord identifyRecord;
  memset(&identifyRecord, 0, sizeof identifyRecord);
  identifyRecord.count = 2;
  identifyRecord.level = kChallengeLevel;
  strcpy(identifyRecord.challenge, kCrossChallenge);
  const AmberVerifierCandidate candidates[] = {{3, 100}, {7, -2000}};
  const std::string certificate = test::ReadFile(test::TestDataPath("signer.cert.pem"));
  for (uint32_t method : {AMBER_RESPONSE_HMAC, AMBER_RESPONSE_SIGNATURE}) {
    AmberVerifierKey key;
    memset(&key, 0, sizeof key);
    key.method = method;
    key.keyText = hmacKey.data();
    key.keyTextLength = hmacKey.size();
    key.certificate = reinterpret_cast<const uint8_t *>(certificate.data());
    key.certificateLength = certificate.size();
    for (bool changed : {false, true}) {
      const int expected = changed ? AMBER_VERIFIER_INVALID : AMBER_VERIFIER_VALID;
      Bytes verifyResponse = test::FromHex(theirs["challenge-verify-" + std::to_string(method)]);
      Bytes identifyResponse = test::FromHex(theirs["challenge-identify-" + std::to_string(method)]);
      ASSERT_FALSE(verifyResponse.empty() || identifyResponse.empty()) << method;
      if (changed) {
        verifyResponse[verifyResponse.size() - 3] ^= 1;
        identifyResponse[identifyResponse.size() - 3] ^= 1;
      }
      verifyRecord.responseData = verifyResponse.data();
      verifyRecord.responseLength = static_cast<uint32_t>(verifyResponse.size());
      EXPECT_EQ(expected, AmberVerifierCheckVerify(&key, kCrossChallenge, &verifyRecord)) << method << changed;
      identifyRecord.responseData = identifyResponse.data();
      identifyRecord.responseLength = static_cast<uint32_t>(identifyResponse.size());
      EXPECT_EQ(expected, AmberVerifierCheckIdentify(&key, kCrossChallenge, &identifyRecord, 2, candidates))
          << method << changed;
    }
  }

  // Their BIRs decrypt here (the store now holds the AES-256 key).
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes cipher = test::FromHex(theirs["bir-" + std::to_string(AMBER_CALG_AES_256) + "-" + std::to_string(i)]);
    Bytes plain(cipher.size());
    BioAPI_BIR in, out;
    memset(&in, 0, sizeof in);
    memset(&out, 0, sizeof out);
    in.BiometricData = {static_cast<uint32_t>(cipher.size()), cipher.data()};
    out.BiometricData = {static_cast<uint32_t>(plain.size()), plain.data()};
    ASSERT_EQ(0u, KoBioFPI_DecryptBIR(&in, &out));
    EXPECT_EQ(BirTemplate(i), Bytes(plain.begin(), plain.begin() + out.BiometricData.Length));
  }
  // Their lockout records hold here: locked until 30 and 45 minutes after
  // the time they were written, open from then on.
  char appKey[30];
  ASSERT_TRUE(HashNameToBase64("Scanner", appKey));
  struct Probe {
    uint64_t minutes;
    uint32_t verify, identify;
  };
  const uint32_t locked = AMBER_E_LOCKED | AMBER_ERROR_FLAG;
  for (const Probe &p : {Probe{29, locked, locked}, Probe{30, 0, locked}, Probe{45, 0, 0}}) {
    for (const char *name : kLockoutValues) {
      ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(UserInfoKeyPath(appKey).c_str(), name, REG_BINARY,
                                                   test::FromHex(theirs[std::string("lockout-") + name])));
    }
    static uint64_t now;
    now = kLockTime + p.minutes * kMinute;
    SetClockForTesting([] { return now; });
    test::AttachAs("C:\\Apps\\Scanner.EXE");
    Bytes person = Pattern(600, 48);
    BioAPI_BIR bir = test::BirOf(person);
    int32_t allowed = 0;
    uint8_t flag = 0;
    EXPECT_EQ(p.verify, KoBioFPI_VerifySecurityStatas(&bir, 5, &allowed, &flag)) << p.minutes;
    EXPECT_EQ(p.identify, KoBioFPI_IdentifySecurityStatas(nullptr, 5, &allowed, &flag)) << p.minutes;
  }
  SetClockForTesting(nullptr);
}

}  // namespace
}  // namespace ambercrypt
