// Challenge and response over the pending outcome, through the exports: the
// argument checks, the pending outcome's life (size queries and failures keep
// it, an answer consumes it), the records, both response methods with their
// buffers, and texts longer than any fixed buffer would hold. The expected
// response text is built here from the outcome; on Linux an outside party
// checks the responses with OpenSSL alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "crypto/ccrypt.h"
#include "store/setting_store.h"
#include "store/settings.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#endif

namespace ambercrypt {
namespace {

using test::Bytes;
using test::ResponseMethod;

constexpr uint32_t F = AMBER_ERROR_FLAG;
const char kPassword[] = "Admin123";
const char kHost[] = "C:\\Apps\\Scanner.EXE";
const char kKeyText[] = "Shared key text 1";
const char kChallenge[] = "Nonce4711";
const char kPerson[] = "biometric data of one person";

std::string Base64Line(const Bytes &bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = bytes[i] << 16;
    if (i + 1 < bytes.size()) v |= bytes[i + 1] << 8;
    if (i + 2 < bytes.size()) v |= bytes[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  return out + "\n";
}

// The response texts as a peer builds them from the outcome it was told.
std::string VerifyText(int result, int level, int32_t fmr, const std::string &person, const std::string &challenge) {
  return std::to_string(result) + std::to_string(level) + std::to_string(fmr) + Base64Line(test::Sha1(person)) +
         challenge;
}
struct Candidate {
  uint32_t index;
  int32_t rate;
};
std::string IdentifyText(uint32_t count, int level, const std::vector<Candidate> &candidates,
                         const std::string &challenge) {
  std::string text = std::to_string(static_cast<int32_t>(count)) + std::to_string(level);
  for (const Candidate &c : candidates) text += std::to_string(static_cast<int32_t>(c.index)) + std::to_string(c.rate);
  return text + challenge;
}

// The candidate array of a BSP: records pointing at their indices.
struct CandidateArray {
  explicit CandidateArray(const std::vector<Candidate> &list) : indices(list.size()), records(list.size()) {
    for (size_t i = 0; i < list.size(); ++i) {
      indices[i] = list[i].index;
      memset(&records[i], 0, sizeof records[i]);
      records[i].Type = 1;
      records[i].BIRInArray = &indices[i];
      records[i].FMRAchieved = list[i].rate;
    }
    array = records.empty() ? nullptr : records.data();
  }
  std::vector<uint32_t> indices;
  std::vector<BioAPI_CANDIDATE> records;
  BioAPI_CANDIDATE *array;
};

class ChallengeTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::InstallTestCertificates();
    UseEndUserCertificate(test::TestDataPath("signer.cert.pem"));
    test::ProvisionInstallation(kPassword, 4321);
    test::WatchSecret(kKeyText);
    test::WatchDerivedKey(kKeyText, strlen(kKeyText), CALG_3DES);
    Provision(ResponseMethod(AMBER_RESPONSE_HMAC, kKeyText), ResponseMethod(AMBER_RESPONSE_HMAC, kKeyText));
  }

  // Sets both policies' response methods and the end-user certificate as an
  // administrator, then runs as the host.
  void Provision(const ResponseMethodRecord &verify, const ResponseMethodRecord &identify) {
    test::ProvisionChallenges("Scanner", kPassword, verify, identify, issuer_, serial_, kHost);
  }
  // Makes the certificate of this PEM file the end-user certificate.
  void UseEndUserCertificate(const std::string &pemPath) {
    test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(pemPath)), &issuer_, &serial_);
  }
  // Overwrites one encrypted number of the application.
  void StoreNumber(const Setting &setting, int32_t value) {
    SettingStore store;
    ASSERT_TRUE(store.SetApplication("Scanner"));
    ASSERT_TRUE(store.LoadInstallationKey());
    ASSERT_EQ(0u, store.Open(SettingKey::kApplication, KEY_ALL_ACCESS).WriteInt(setting, value));
  }

  CERT_ISSUER_SERIAL_NUMBER Signer() {
    CERT_ISSUER_SERIAL_NUMBER id;
    id.Issuer = {static_cast<DWORD>(issuer_.size()), issuer_.data()};
    id.SerialNumber = {static_cast<DWORD>(serial_.size()), serial_.data()};
    return id;
  }

  void Verified(uint8_t result, int32_t fmr, uint8_t level, const std::string &person = kPerson) {
    person_.assign(person.begin(), person.end());
    BioAPI_BIR bir;
    memset(&bir, 0, sizeof bir);
    bir.BiometricData = {static_cast<uint32_t>(person_.size()), person_.data()};
    ASSERT_EQ(0u, KoBioFPI_UpdateVerifyStatus(result, &bir, fmr, level));
  }
  void Identified(uint32_t count, CandidateArray &candidates, uint8_t level) {
    ASSERT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&count, &candidates.array, level));
  }

  static VerifyChallengeRecord VerifyRecord(uint8_t *buffer, uint32_t capacity) {
    VerifyChallengeRecord r;
    memset(&r, 0xA5, sizeof r);  // whatever the caller left there
    r.responseData = buffer;
    r.responseLength = capacity;
    return r;
  }
  static IdentifyChallengeRecord IdentifyRecord(uint8_t *buffer, uint32_t capacity) {
    IdentifyChallengeRecord r;
    memset(&r, 0xA5, sizeof r);
    r.responseData = buffer;
    r.responseLength = capacity;
    return r;
  }

  // The HMAC of text keyed from key text, by the platform's own CryptoAPI.
  // (The key text is taken as it stands, never copied to the heap: the
  // zeroing check watches it.)
  static Bytes Mac(const std::string &text, const char *keyText = kKeyText) {
    CCrypt crypt;
    Bytes mac(20);
    uint32_t n = 20;
    EXPECT_EQ(0u, crypt.Hmac(reinterpret_cast<const uint8_t *>(text.data()), static_cast<uint32_t>(text.size()),
                             mac.data(), &n, reinterpret_cast<const uint8_t *>(keyText),
                             static_cast<uint32_t>(strlen(keyText))));
    return mac;
  }
  // The content of a message signed by the end-user certificate, or "".
  std::string SignedContent(const Bytes &message) {
    CCrypt crypt;
    CERT_ISSUER_SERIAL_NUMBER id = Signer();
    Bytes content(4096);
    uint32_t n = static_cast<uint32_t>(content.size());
    if (crypt.VerifyMessage(&id, message.data(), static_cast<uint32_t>(message.size()), content.data(), &n) != 0) {
      return "";
    }
    return std::string(content.begin(), content.begin() + n);
  }

  Bytes issuer_, serial_, person_;
};

TEST_F(ChallengeTest, ChallengeTextsAndRecordAreCheckedFirst) {
  const std::string longest = "Aa1" + std::string(210, 'x');
  const std::string tooLong = longest + "x";
  struct Case {
    const char *name;
    const char *challenge;
    bool record;
    uint32_t expected;
  } cases[] = {
      {"null challenge", nullptr, true, F | AMBER_E_BAD_CHALLENGE},
      {"214 characters", tooLong.c_str(), true, F | AMBER_E_BAD_CHALLENGE},
      {"empty", "", true, F | AMBER_E_BAD_CHALLENGE},
      {"null record", kChallenge, false, F | AMBER_E_BAD_CHALLENGE},
      {"no upper-case letter", "abcdef1", true, F | AMBER_E_BAD_CHALLENGE},
      {"five characters", "Abc1x", true, F | AMBER_E_BAD_CHALLENGE},
      // Usable texts reach the pending outcome, which the failed one did not
      // consume: the first answers, the second finds none.
      {"213 characters", longest.c_str(), true, 0},
      {"six characters", "Abcde1", true, F | AMBER_E_NO_PENDING_OUTCOME},
  };
  Verified(1, 1000, 80);
  for (const Case &c : cases) {
    uint8_t response[20];
    VerifyChallengeRecord record = VerifyRecord(response, sizeof response);
    EXPECT_EQ(c.expected, KoBioSPI_VerifyChallenge(c.challenge, c.record ? &record : nullptr)) << c.name;
  }
  // The same checks on identify, before it looks for an outcome.
  IdentifyChallengeRecord record = IdentifyRecord(nullptr, 0);
  EXPECT_EQ(F | AMBER_E_BAD_CHALLENGE, KoBioSPI_IdentifyChallenge(tooLong.c_str(), &record));
  EXPECT_EQ(F | AMBER_E_BAD_CHALLENGE, KoBioSPI_IdentifyChallenge(kChallenge, nullptr));
  EXPECT_EQ(F | AMBER_E_NO_PENDING_OUTCOME, KoBioSPI_IdentifyChallenge(longest.c_str(), &record));
}

// Method 40 from end to end: the size query keeps the outcome pending, a
// buffer too small for the 20 bytes is refused with nothing written, the
// answer fills the record and consumes the outcome.
TEST_F(ChallengeTest, HmacAnswerFillsTheRecordOnce) {
  VerifyChallengeRecord early = VerifyRecord(nullptr, 0);
  EXPECT_EQ(F | AMBER_E_NO_PENDING_OUTCOME, KoBioSPI_VerifyChallenge(kChallenge, &early)) << "before any verify";
  Verified(1, 1000, 80);

  VerifyChallengeRecord query = VerifyRecord(nullptr, 0);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &query));
  EXPECT_EQ(20u, query.responseLength);

  uint8_t small[32];
  memset(small, 0xEE, sizeof small);
  VerifyChallengeRecord refused = VerifyRecord(small, 19);
  const VerifyChallengeRecord before = refused;
  EXPECT_EQ(F | AMBER_E_RESPONSE_FAILED, KoBioSPI_VerifyChallenge(kChallenge, &refused));
  EXPECT_EQ(0, memcmp(&before, &refused, sizeof before)) << "the record is unchanged";
  for (uint8_t b : small) ASSERT_EQ(0xEE, b) << "nothing is written to the buffer";

  Bytes response(20);
  VerifyChallengeRecord record = VerifyRecord(response.data(), 20);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &record));
  EXPECT_EQ(Mac(VerifyText(1, 80, 1000, kPerson, kChallenge)), response);
  EXPECT_EQ(20u, record.responseLength);
  EXPECT_EQ(1, record.result);
  EXPECT_EQ(80, record.level);
  EXPECT_EQ(1000, record.achievedFmr);
  std::string digestText = Base64Line(test::Sha1(kPerson));
  EXPECT_EQ(digestText, std::string(record.digestText));
  EXPECT_EQ(std::string(sizeof record.digestText - digestText.size(), '\0'),
            std::string(record.digestText + digestText.size(), sizeof record.digestText - digestText.size()));
  EXPECT_STREQ(kChallenge, record.challenge);
  EXPECT_EQ(std::string(sizeof record.challenge - strlen(kChallenge), '\0'),
            std::string(record.challenge + strlen(kChallenge), sizeof record.challenge - strlen(kChallenge)));

  VerifyChallengeRecord again = VerifyRecord(response.data(), 20);
  EXPECT_EQ(F | AMBER_E_NO_PENDING_OUTCOME, KoBioSPI_VerifyChallenge(kChallenge, &again)) << "answered once";

  // The same outcome with another challenge gives another answer.
  Verified(1, 1000, 80);
  Bytes other(20);
  VerifyChallengeRecord changed = VerifyRecord(other.data(), 20);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge("Nonce4712", &changed));
  EXPECT_NE(response, other);
  EXPECT_EQ(Mac(VerifyText(1, 80, 1000, kPerson, "Nonce4712")), other);
}

// The outcome is filed under the host and looked for under the application
// the SPI context names: after an administration call names another, the
// challenge finds nothing, and finds it again once the host is named.
TEST_F(ChallengeTest, OutcomeIsFoundWhileTheHostIsCurrent) {
  Verified(1, 1000, 80);
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Other", 4, 0, kPassword));
  Bytes response(20);
  VerifyChallengeRecord record = VerifyRecord(response.data(), 20);
  EXPECT_EQ(F | AMBER_E_NO_PENDING_OUTCOME, KoBioSPI_VerifyChallenge(kChallenge, &record));
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword));
  EXPECT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &record));
  EXPECT_EQ(Mac(VerifyText(1, 80, 1000, kPerson, kChallenge)), response);
}

// The widest outcomes: an eleven-character FMR with a 213-character
// challenge, identify candidates whose indices and rates have eleven
// characters each. Each text is whole in the response.
TEST_F(ChallengeTest, WidestTextsAreAnsweredWhole) {
  const std::string challenge = "Aa1" + std::string(210, 'z');
  Verified(0, INT32_MIN, 100);
  Bytes response(20);
  VerifyChallengeRecord verify = VerifyRecord(response.data(), 20);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(challenge.c_str(), &verify));
  EXPECT_EQ(Mac(VerifyText(0, 100, INT32_MIN, kPerson, challenge)), response);
  EXPECT_EQ(INT32_MIN, verify.achievedFmr);

  std::vector<Candidate> list;
  for (uint32_t i = 0; i < 40; ++i) list.push_back({0x80000000u + i, INT32_MIN + static_cast<int32_t>(i)});
  CandidateArray candidates(list);
  Identified(40, candidates, 99);
  IdentifyChallengeRecord identify = IdentifyRecord(response.data(), 20);
  ASSERT_EQ(0u, KoBioSPI_IdentifyChallenge(challenge.c_str(), &identify));
  EXPECT_EQ(Mac(IdentifyText(40, 99, list, challenge)), response);
  EXPECT_EQ(40, identify.count);
  EXPECT_EQ(&candidates.array, identify.candidates);
  EXPECT_EQ(99, identify.level);
  EXPECT_EQ(challenge, std::string(identify.challenge));
}

TEST_F(ChallengeTest, IdentifyCountsAndCandidates) {
  struct Case {
    uint32_t count;
    uint8_t level;
  } cases[] = {{0, 75}, {2, 75}, {300, 10}};
  for (const Case &c : cases) {
    std::vector<Candidate> list;
    for (uint32_t i = 0; i < c.count; ++i) {
      // Two candidates as in the worked example: index 3 at 100, 7 at 2000.
      list.push_back(c.count == 2 ? Candidate{3 + 4 * i, 100 + 1900 * static_cast<int32_t>(i)} : Candidate{i, 7});
    }
    CandidateArray candidates(list);
    Identified(c.count, candidates, c.level);
    Bytes response(20);
    IdentifyChallengeRecord record = IdentifyRecord(response.data(), 20);
    ASSERT_EQ(0u, KoBioSPI_IdentifyChallenge(kChallenge, &record)) << c.count;
    std::string text = IdentifyText(c.count, c.level, list, kChallenge);
    if (c.count == 2) {
      EXPECT_EQ("275310072000", text.substr(0, 12));
    }
    EXPECT_EQ(Mac(text), response) << c.count;
    EXPECT_EQ(static_cast<uint8_t>(c.count), record.count) << c.count;  // 300 reports 44
    EXPECT_EQ(c.count == 0 ? nullptr : &candidates.array, record.candidates) << c.count;
    EXPECT_EQ(F | AMBER_E_NO_PENDING_OUTCOME, KoBioSPI_IdentifyChallenge(kChallenge, &record)) << c.count;
  }
}

// With a buffer, the capacity in responseLength decides for method 40 too.
TEST_F(ChallengeTest, IdentifyHmacCapacityIsChecked) {
  CandidateArray none({});
  Identified(0, none, 50);
  uint8_t buffer[20];
  IdentifyChallengeRecord small = IdentifyRecord(buffer, 0);
  const IdentifyChallengeRecord before = small;
  EXPECT_EQ(F | AMBER_E_RESPONSE_FAILED, KoBioSPI_IdentifyChallenge(kChallenge, &small));
  EXPECT_EQ(0, memcmp(&before, &small, sizeof before));
  IdentifyChallengeRecord query = IdentifyRecord(nullptr, 0);
  ASSERT_EQ(0u, KoBioSPI_IdentifyChallenge(kChallenge, &query));
  EXPECT_EQ(20u, query.responseLength);
  EXPECT_EQ(0xA5, query.count) << "a size query fills nothing else";
  IdentifyChallengeRecord record = IdentifyRecord(buffer, 64);
  ASSERT_EQ(0u, KoBioSPI_IdentifyChallenge(kChallenge, &record));
  EXPECT_EQ(20u, record.responseLength);
  EXPECT_EQ(nullptr, record.candidates);
}

// Method 30: the size query reports the message length, a buffer of exactly
// that length takes it (the length given stays), one byte less is refused
// and keeps the outcome. The message is signed by the end-user certificate
// over the response text.
TEST_F(ChallengeTest, SignedAnswers) {
  Provision(ResponseMethod(AMBER_RESPONSE_SIGNATURE), ResponseMethod(AMBER_RESPONSE_SIGNATURE));
  Verified(1, 250, 60);
  VerifyChallengeRecord query = VerifyRecord(nullptr, 0);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &query));
  const uint32_t length = query.responseLength;
  ASSERT_GT(length, 300u);

  Bytes message(length + 8, 0xEE);
  VerifyChallengeRecord shortBy1 = VerifyRecord(message.data(), length - 1);
  EXPECT_EQ(F | AMBER_E_RESPONSE_FAILED, KoBioSPI_VerifyChallenge(kChallenge, &shortBy1));
  EXPECT_EQ(length - 1, shortBy1.responseLength);
  for (uint8_t b : message) ASSERT_EQ(0xEE, b);

  VerifyChallengeRecord exact = VerifyRecord(message.data(), length);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &exact));
  EXPECT_EQ(length, exact.responseLength);
  EXPECT_EQ(0xEE, message[length]);
  message.resize(length);
  EXPECT_EQ(VerifyText(1, 60, 250, kPerson, kChallenge), SignedContent(message));

  std::vector<Candidate> list = {{3, 100}, {7, 2000}};
  CandidateArray candidates(list);
  Identified(2, candidates, 75);
  Bytes identifyMessage(4096);
  IdentifyChallengeRecord identify = IdentifyRecord(identifyMessage.data(), 4096);
  ASSERT_EQ(0u, KoBioSPI_IdentifyChallenge(kChallenge, &identify));
  EXPECT_EQ(4096u, identify.responseLength);
  EXPECT_EQ(IdentifyText(2, 75, list, kChallenge), SignedContent(identifyMessage));
}

// An end-user certificate whose issuer name is longer than 256 bytes signs
// as any other.
TEST_F(ChallengeTest, SignedByACertificateWithALongIssuer) {
  UseEndUserCertificate(test::FixturePath("long_issuer.cert.pem"));
  ASSERT_GT(issuer_.size(), 256u);
  Provision(ResponseMethod(AMBER_RESPONSE_SIGNATURE), ResponseMethod(AMBER_RESPONSE_SIGNATURE));
  Verified(1, 250, 60);
  Bytes message(8192);
  VerifyChallengeRecord record = VerifyRecord(message.data(), 8192);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &record));
  EXPECT_EQ(VerifyText(1, 60, 250, kPerson, kChallenge), SignedContent(message));
}

// What the response needs from the store: a method of 30 or 40, its key
// text, the end-user certificate. Each failure keeps the outcome pending.
TEST_F(ChallengeTest, UnusableResponseSettingsFail) {
  const int32_t serialLength = static_cast<int32_t>(serial_.size());
  struct Case {
    const char *name;
    uint32_t method;
    const Setting &setting;
    int32_t bad, good;
  } cases[] = {
      {"method 35", AMBER_RESPONSE_HMAC, settings::kVerifyResponseMethod, 35, AMBER_RESPONSE_HMAC},
      {"key text shorter than its length", AMBER_RESPONSE_HMAC, settings::kVerifyKeyTextLength, 30, 17},
      {"key text length 0", AMBER_RESPONSE_HMAC, settings::kVerifyKeyTextLength, 0, 17},
      {"serial shorter than its length", AMBER_RESPONSE_SIGNATURE, settings::kEndUserSerialLength, serialLength + 1,
       serialLength},
  };
  for (const Case &c : cases) {
    Provision(ResponseMethod(c.method, kKeyText), ResponseMethod(c.method, kKeyText));
    Verified(1, 1000, 80);
    StoreNumber(c.setting, c.bad);
    Bytes response(4096);
    VerifyChallengeRecord record = VerifyRecord(response.data(), 4096);
    const VerifyChallengeRecord before = record;
    EXPECT_EQ(F | AMBER_E_RESPONSE_FAILED, KoBioSPI_VerifyChallenge(kChallenge, &record)) << c.name;
    EXPECT_EQ(0, memcmp(&before, &record, sizeof before)) << c.name;
    // Mended, the same outcome is answered: the failure kept it pending.
    StoreNumber(c.setting, c.good);
    EXPECT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &record)) << c.name;
    EXPECT_EQ(1, record.result) << c.name;
  }
}

#if !defined(_WIN32)
// An outside party with OpenSSL and nothing of this library: it derives the
// HMAC key from the key text as CryptDeriveKey does (SHA-1 of the text; SHA-1
// of 64 bytes of 0x36 and of 0x5C with that digest XORed in; the first 24
// bytes), and checks the signed answer against the end-user certificate.
Bytes OutsideHmac(const char *keyText, const std::string &text) {
  uint8_t base[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const uint8_t *>(keyText), strlen(keyText), base);
  uint8_t inner[64], outer[64];
  memset(inner, 0x36, sizeof inner);
  memset(outer, 0x5C, sizeof outer);
  for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) {
    inner[i] ^= base[i];
    outer[i] ^= base[i];
  }
  uint8_t derived[40];
  SHA1(inner, sizeof inner, derived);
  SHA1(outer, sizeof outer, derived + 20);
  Bytes mac(20);
  unsigned int n = 0;
  HMAC(EVP_sha1(), derived, 24, reinterpret_cast<const uint8_t *>(text.data()), text.size(), mac.data(), &n);
  EXPECT_EQ(20u, n);
  return mac;
}

// The content of message when the end-user certificate's key signed it.
std::string OutsideVerify(const Bytes &message) {
  std::string pem = test::ReadFile(test::TestDataPath("signer.cert.pem"));
  BIO *certBio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509 *cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
  BIO_free(certBio);
  const uint8_t *p = message.data();
  CMS_ContentInfo *cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size()));
  std::string content;
  if (cert != nullptr && cms != nullptr) {
    STACK_OF(X509) *signers = sk_X509_new_null();
    sk_X509_push(signers, cert);
    BIO *out = BIO_new(BIO_s_mem());
    // Only the given certificate may have signed: none the message carries.
    if (CMS_verify(cms, signers, nullptr, nullptr, out, CMS_NOINTERN | CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) == 1) {
      char *data = nullptr;
      long n = BIO_get_mem_data(out, &data);
      content.assign(data, static_cast<size_t>(n));
    }
    BIO_free(out);
    sk_X509_free(signers);
  }
  CMS_ContentInfo_free(cms);
  X509_free(cert);
  return content;
}

TEST_F(ChallengeTest, OutsidePartyChecksBothMethodsWithOpenSsl) {
  std::vector<Candidate> list = {{3, 100}, {7, 2000}};
  CandidateArray candidates(list);
  Verified(1, 1000, 80);
  Identified(2, candidates, 75);
  Bytes verifyMac(20), identifyMac(20);
  VerifyChallengeRecord verify = VerifyRecord(verifyMac.data(), 20);
  IdentifyChallengeRecord identify = IdentifyRecord(identifyMac.data(), 20);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &verify));
  ASSERT_EQ(0u, KoBioSPI_IdentifyChallenge(kChallenge, &identify));
  EXPECT_EQ(OutsideHmac(kKeyText, VerifyText(1, 80, 1000, kPerson, kChallenge)), verifyMac);
  EXPECT_EQ(OutsideHmac(kKeyText, IdentifyText(2, 75, list, kChallenge)), identifyMac);

  Provision(ResponseMethod(AMBER_RESPONSE_SIGNATURE), ResponseMethod(AMBER_RESPONSE_SIGNATURE));
  Verified(0, 5, 40);
  Identified(2, candidates, 75);
  Bytes verifyMessage(4096), identifyMessage(4096);
  verify = VerifyRecord(verifyMessage.data(), 4096);
  identify = IdentifyRecord(identifyMessage.data(), 4096);
  ASSERT_EQ(0u, KoBioSPI_VerifyChallenge(kChallenge, &verify));
  ASSERT_EQ(0u, KoBioSPI_IdentifyChallenge(kChallenge, &identify));
  EXPECT_EQ(VerifyText(0, 40, 5, kPerson, kChallenge), OutsideVerify(verifyMessage));
  EXPECT_EQ(IdentifyText(2, 75, list, kChallenge), OutsideVerify(identifyMessage));
  // A message changed in one byte of its content no longer verifies.
  std::string text = VerifyText(0, 40, 5, kPerson, kChallenge);
  auto at = std::search(verifyMessage.begin(), verifyMessage.end(), text.begin(), text.end());
  ASSERT_NE(verifyMessage.end(), at);
  *at ^= 1;
  EXPECT_EQ("", OutsideVerify(verifyMessage));
}
#endif

}  // namespace
}  // namespace ambercrypt
