// The response verifier for applications over responses the library itself
// gives: both methods, verify and identify, accepted as given and refused with
// one byte changed in the record, the challenge or the response; a signature
// counts only from the given certificate; the command-line tool on files.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "ambercrypt/verifier.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

using test::Bytes;

const char kPassword[] = "Admin123";
const char kHost[] = "C:\\Apps\\Scanner.EXE";
const char kKeyText[] = "Shared key text 1";
const char kChallenge[] = "Nonce4711";
const char kPerson[] = "biometric data of one person";

// What an application holds after a verify challenge.
struct VerifyAnswer {
  VerifyChallengeRecord record;
  Bytes response;
  std::string challenge;
  // The record pointing at the response, as the library left it.
  int Check(const AmberVerifierKey &key) {
    record.responseData = response.data();
    record.responseLength = static_cast<uint32_t>(response.size());
    return AmberVerifierCheckVerify(&key, challenge.c_str(), &record);
  }
};

// What an application holds after an identify challenge.
struct IdentifyAnswer {
  IdentifyChallengeRecord record;
  Bytes response;
  std::string challenge;
  uint32_t count;
  std::vector<AmberVerifierCandidate> candidates;
  int Check(const AmberVerifierKey &key) {
    record.responseData = response.data();
    record.responseLength = static_cast<uint32_t>(response.size());
    return AmberVerifierCheckIdentify(&key, challenge.c_str(), &record, count, candidates.data());
  }
};

AmberVerifierKey HmacKey(const char *keyText = kKeyText) {
  AmberVerifierKey key;
  memset(&key, 0, sizeof key);
  key.method = AMBER_RESPONSE_HMAC;
  key.keyText = keyText;
  key.keyTextLength = strlen(keyText);
  return key;
}

AmberVerifierKey SignatureKey(const std::string &certificate) {
  AmberVerifierKey key;
  memset(&key, 0, sizeof key);
  key.method = AMBER_RESPONSE_SIGNATURE;
  key.certificate = reinterpret_cast<const uint8_t *>(certificate.data());
  key.certificateLength = certificate.size();
  return key;
}

class VerifierTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::InstallTestCertificates();
    signerPem_ = test::ReadFile(test::TestDataPath("signer.cert.pem"));
    const Bytes der = test::PemCertificateToDer(signerPem_);
    signerDer_.assign(der.begin(), der.end());
    test::IssuerAndSerialOf(der, &issuer_, &serial_);
    test::ProvisionInstallation(kPassword, 4321);
    test::WatchSecret(kKeyText);
    test::WatchDerivedKey(kKeyText, strlen(kKeyText), CALG_3DES);
  }

  // Both policies answer by method, signed by the reference signer; then the
  // host runs.
  void Provision(uint32_t method) {
    const ResponseMethodRecord r = test::ResponseMethod(method, method == AMBER_RESPONSE_HMAC ? kKeyText : "");
    test::ProvisionChallenges("Scanner", kPassword, r, r, issuer_, serial_, kHost);
  }

  // A verify outcome answered through the exports: the size query, then the
  // answer into a buffer with slack (whose capacity a signed answer leaves in
  // the record); the response is the bytes the size query announced.
  VerifyAnswer Verified(uint8_t result, int32_t fmr, uint8_t level, const char *challenge = kChallenge) {
    VerifyAnswer a;
    a.challenge = challenge;
    Bytes person(kPerson, kPerson + strlen(kPerson));
    BioAPI_BIR bir;
    memset(&bir, 0, sizeof bir);
    bir.BiometricData = {static_cast<uint32_t>(person.size()), person.data()};
    EXPECT_EQ(0u, KoBioFPI_UpdateVerifyStatus(result, &bir, fmr, level));
    memset(&a.record, 0, sizeof a.record);
    EXPECT_EQ(0u, KoBioSPI_VerifyChallenge(challenge, &a.record));
    const uint32_t length = a.record.responseLength;
    a.response.assign(length + 16, 0);
    a.record.responseData = a.response.data();
    a.record.responseLength = static_cast<uint32_t>(a.response.size());
    EXPECT_EQ(0u, KoBioSPI_VerifyChallenge(challenge, &a.record));
    a.response.resize(length);
    return a;
  }

  IdentifyAnswer Identified(const std::vector<AmberVerifierCandidate> &list, uint8_t level,
                            const char *challenge = kChallenge) {
    IdentifyAnswer a;
    a.challenge = challenge;
    a.count = static_cast<uint32_t>(list.size());
    a.candidates = list;
    std::vector<uint32_t> indices(list.size());
    std::vector<BioAPI_CANDIDATE> records(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      indices[i] = list[i].index;
      memset(&records[i], 0, sizeof records[i]);
      records[i].BIRInArray = &indices[i];
      records[i].FMRAchieved = list[i].rate;
    }
    BioAPI_CANDIDATE *array = records.empty() ? nullptr : records.data();
    uint32_t count = a.count;
    EXPECT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&count, &array, level));
    memset(&a.record, 0, sizeof a.record);
    EXPECT_EQ(0u, KoBioSPI_IdentifyChallenge(challenge, &a.record));
    a.response.assign(a.record.responseLength, 0);
    a.record.responseData = a.response.data();
    EXPECT_EQ(0u, KoBioSPI_IdentifyChallenge(challenge, &a.record));
    a.record.candidates = nullptr;  // points into this frame
    return a;
  }

  AmberVerifierKey KeyFor(uint32_t method) {
    return method == AMBER_RESPONSE_HMAC ? HmacKey() : SignatureKey(signerDer_);
  }

  std::string signerPem_, signerDer_;
  Bytes issuer_, serial_;
};

TEST_F(VerifierTest, AcceptsTheLibrarysResponses) {
  std::vector<AmberVerifierCandidate> many;
  for (uint32_t i = 0; i < 300; ++i) many.push_back({0x80000000u + i, INT32_MIN + static_cast<int32_t>(i)});
  const std::string widest = "Aa1" + std::string(210, 'z');
  for (uint32_t method : {AMBER_RESPONSE_HMAC, AMBER_RESPONSE_SIGNATURE}) {
    SCOPED_TRACE(method);
    Provision(method);
    AmberVerifierKey key = KeyFor(method);
    EXPECT_EQ(AMBER_VERIFIER_VALID, Verified(1, 1000, 80).Check(key));
    EXPECT_EQ(AMBER_VERIFIER_VALID, Verified(0, INT32_MIN, 100, widest.c_str()).Check(key));
    EXPECT_EQ(AMBER_VERIFIER_VALID, Identified({}, 75).Check(key));
    EXPECT_EQ(AMBER_VERIFIER_VALID, Identified({{3, 100}, {7, -2000}}, 75).Check(key));
    // 300 candidates: the record holds 44, the text all 300.
    IdentifyAnswer wide = Identified(many, 10, widest.c_str());
    EXPECT_EQ(44, wide.record.count);
    EXPECT_EQ(AMBER_VERIFIER_VALID, wide.Check(key));
  }
  // The certificate as PEM does as well as DER; what follows the message in
  // the caller's buffer is no part of it.
  AmberVerifierKey pem = SignatureKey(signerPem_);
  VerifyAnswer inBuffer = Verified(1, 250, 60);
  inBuffer.response.resize(inBuffer.response.size() + 16, 0xEE);
  EXPECT_EQ(AMBER_VERIFIER_VALID, inBuffer.Check(pem));
}

// One byte changed anywhere the response depends on is refused, by each method.
TEST_F(VerifierTest, RefusesOneByteChanged) {
  struct VerifyCase {
    const char *name;
    std::function<void(VerifyAnswer &)> change;
  };
  const std::vector<VerifyCase> verifyCases = {
      {"result", [](VerifyAnswer &a) { a.record.result ^= 1; }},
      {"level", [](VerifyAnswer &a) { a.record.level ^= 1; }},
      {"achieved FMR", [](VerifyAnswer &a) { a.record.achievedFmr ^= 0x100; }},
      {"digest text", [](VerifyAnswer &a) { a.record.digestText[5] ^= 1; }},
      {"record's challenge", [](VerifyAnswer &a) { a.record.challenge[0] ^= 1; }},
      {"issued challenge", [](VerifyAnswer &a) { a.challenge[3] ^= 1; }},
      {"challenge in both", [](VerifyAnswer &a) {
         a.challenge.back() ^= 1;
         a.record.challenge[a.challenge.size() - 1] ^= 1;
       }},
      {"response's first byte", [](VerifyAnswer &a) { a.response.front() ^= 1; }},
      {"response's middle byte", [](VerifyAnswer &a) { a.response[a.response.size() / 2] ^= 0x80; }},
      {"response's last byte", [](VerifyAnswer &a) { a.response.back() ^= 1; }},
      {"response one byte short", [](VerifyAnswer &a) { a.response.pop_back(); }},
      // The same response text split into fields another way (result 1, level
      // 80, FMR 1000): the MAC and the signature still match the text.
      {"FMR digits moved into the digest text", [](VerifyAnswer &a) {
         a.record.achievedFmr = 1;
         std::string moved = "000" + std::string(a.record.digestText);
         memset(a.record.digestText, 0, sizeof a.record.digestText);
         memcpy(a.record.digestText, moved.data(), moved.size());
       }},
      {"the level's digit moved into the result", [](VerifyAnswer &a) {
         a.record.result = 18;
         a.record.level = 0;
       }},
  };
  struct IdentifyCase {
    const char *name;
    std::function<void(IdentifyAnswer &)> change;
  };
  const std::vector<IdentifyCase> identifyCases = {
      {"level", [](IdentifyAnswer &a) { a.record.level ^= 1; }},
      {"record's count", [](IdentifyAnswer &a) { a.record.count ^= 1; }},
      {"a candidate's index", [](IdentifyAnswer &a) { a.candidates[1].index ^= 1; }},
      {"a candidate's rate", [](IdentifyAnswer &a) { a.candidates[0].rate ^= 1; }},
      {"a candidate fewer", [](IdentifyAnswer &a) {
         a.count = 1;
         a.record.count = 1;
       }},
      {"challenge in both", [](IdentifyAnswer &a) {
         a.challenge[0] ^= 1;
         a.record.challenge[0] ^= 1;
       }},
      {"response's first byte", [](IdentifyAnswer &a) { a.response.front() ^= 1; }},
      {"response's last byte", [](IdentifyAnswer &a) { a.response.back() ^= 1; }},
  };
  for (uint32_t method : {AMBER_RESPONSE_HMAC, AMBER_RESPONSE_SIGNATURE}) {
    SCOPED_TRACE(method);
    Provision(method);
    AmberVerifierKey key = KeyFor(method);
    const VerifyAnswer verify = Verified(1, 1000, 80);
    const IdentifyAnswer identify = Identified({{3, 100}, {7, 2000}}, 75);
    VerifyAnswer same = verify;
    ASSERT_EQ(AMBER_VERIFIER_VALID, same.Check(key));
    IdentifyAnswer sameIdentify = identify;
    ASSERT_EQ(AMBER_VERIFIER_VALID, sameIdentify.Check(key));
    for (const VerifyCase &c : verifyCases) {
      VerifyAnswer changed = verify;
      c.change(changed);
      EXPECT_EQ(AMBER_VERIFIER_INVALID, changed.Check(key)) << "verify, " << c.name;
    }
    for (const IdentifyCase &c : identifyCases) {
      IdentifyAnswer changed = identify;
      c.change(changed);
      EXPECT_EQ(AMBER_VERIFIER_INVALID, changed.Check(key)) << "identify, " << c.name;
    }
    if (method == AMBER_RESPONSE_SIGNATURE) {
      // A byte of the signed content inside the message.
      std::string digest(verify.record.digestText);
      VerifyAnswer changed = verify;
      auto at = std::search(changed.response.begin(), changed.response.end(), digest.begin(), digest.end());
      ASSERT_NE(changed.response.end(), at);
      *at ^= 1;
      EXPECT_EQ(AMBER_VERIFIER_INVALID, changed.Check(key)) << "signed content";
    } else {
      // Another key text.
      EXPECT_EQ(AMBER_VERIFIER_INVALID, same.Check(HmacKey("Shared key text 2")));
    }
  }
}

// A signed response counts only from the given certificate: not from another
// certificate, nor from one that copies its issuer and serial number onto a
// key of its own and rides inside the message.
TEST_F(VerifierTest, SignerMustBeTheGivenCertificate) {
  Provision(AMBER_RESPONSE_SIGNATURE);
  VerifyAnswer genuine = Verified(1, 1000, 80);
  const std::string keyless = test::ReadFile(test::FixturePath("keyless.cert.pem"));
  const std::string longIssuer = test::ReadFile(test::FixturePath("long_issuer.cert.pem"));
  ASSERT_FALSE(keyless.empty());
  EXPECT_EQ(AMBER_VERIFIER_INVALID, genuine.Check(SignatureKey(keyless)));
  EXPECT_EQ(AMBER_VERIFIER_INVALID, genuine.Check(SignatureKey(longIssuer)));

  // The impostor signed the very text of an identify answer (count 0, level
  // 50); its certificate would accept it, the reference signer's does not.
  const std::string message = test::ReadFile(test::FixturePath("impostor_response.p7"));
  const std::string impostor = test::ReadFile(test::FixturePath("impostor.cert.pem"));
  ASSERT_FALSE(message.empty());
  IdentifyAnswer forged;
  memset(&forged.record, 0, sizeof forged.record);
  forged.record.level = 50;
  strcpy(forged.record.challenge, "Impostor7X");
  forged.challenge = "Impostor7X";
  forged.count = 0;
  forged.response.assign(message.begin(), message.end());
  EXPECT_EQ(AMBER_VERIFIER_VALID, forged.Check(SignatureKey(impostor)));
  EXPECT_EQ(AMBER_VERIFIER_INVALID, forged.Check(SignatureKey(signerPem_)));
  EXPECT_EQ(AMBER_VERIFIER_INVALID, forged.Check(SignatureKey(signerDer_)));
}

// Which challenge an answer belongs to, as verifier.h states it: an answer
// moved onto another challenge is refused unless the other challenge is the
// answered one without its leading digits, which an identify text cannot tell
// from its last number.
TEST_F(VerifierTest, AnswerBelongsToItsChallenge) {
  // The record as an application would hold it had the answer been to
  // `challenge`: the record's challenge field and the issued one both moved.
  auto moved = [](IdentifyAnswer a, const char *challenge) {
    a.challenge = challenge;
    memset(a.record.challenge, 0, sizeof a.record.challenge);
    strcpy(a.record.challenge, challenge);
    return a;
  };
  for (uint32_t method : {AMBER_RESPONSE_HMAC, AMBER_RESPONSE_SIGNATURE}) {
    SCOPED_TRACE(method);
    Provision(method);
    AmberVerifierKey key = KeyFor(method);

    // What is not refused: leading digits joining the identify text's last
    // number, the level with no candidates or the last candidate's rate.
    IdentifyAnswer levelOnly = moved(Identified({}, 5, "7Abcdef1"), "Abcdef1");
    levelOnly.record.level = 57;
    EXPECT_EQ(AMBER_VERIFIER_VALID, levelOnly.Check(key));
    IdentifyAnswer lastRate = moved(Identified({{3, 100}, {7, 2000}}, 75, "42Nonce"), "2Nonce");
    lastRate.candidates[1].rate = 20004;
    EXPECT_EQ(AMBER_VERIFIER_VALID, lastRate.Check(key));

    // What is refused: the same moves with the candidates the application
    // holds, any challenge that begins with a letter, and every verify answer.
    IdentifyAnswer ownRate = moved(Identified({{3, 100}, {7, 2000}}, 75, "42Nonce"), "2Nonce");
    EXPECT_EQ(AMBER_VERIFIER_INVALID, ownRate.Check(key));
    const IdentifyAnswer letter = Identified({{3, 100}}, 75, "Nonce4711");
    for (const char *other : {"once4711", "XNonce4711", "Nonce471", "7Nonce4711"}) {
      IdentifyAnswer changed = moved(letter, other);
      EXPECT_EQ(AMBER_VERIFIER_INVALID, changed.Check(key)) << other;
    }
    VerifyAnswer verify = Verified(1, 1000, 5, "7Abcdef1");
    verify.challenge = "Abcdef1";
    memset(verify.record.challenge, 0, sizeof verify.record.challenge);
    strcpy(verify.record.challenge, "Abcdef1");
    for (uint8_t level : {5, 57}) {
      verify.record.level = level;
      EXPECT_EQ(AMBER_VERIFIER_INVALID, verify.Check(key)) << "verify, level " << int{level};
    }
  }
}

TEST_F(VerifierTest, UnusableArgumentsAreRefused) {
  Provision(AMBER_RESPONSE_HMAC);
  VerifyAnswer verify = Verified(1, 1000, 80);
  IdentifyAnswer identify = Identified({{3, 100}}, 75);
  const std::string longKey(256, 'k');
  const std::string garbage = "-----BEGIN CERTIFICATE-----\nnot one\n-----END CERTIFICATE-----\n";
  struct Case {
    const char *name;
    std::function<int()> check;
  } cases[] = {
      {"null key", [&] { return AmberVerifierCheckVerify(nullptr, kChallenge, &verify.record); }},
      {"method 35",
       [&] {
         AmberVerifierKey key = HmacKey();
         key.method = 35;
         return verify.Check(key);
       }},
      {"empty key text",
       [&] {
         AmberVerifierKey key = HmacKey();
         key.keyTextLength = 0;
         return verify.Check(key);
       }},
      {"256-character key text", [&] { return verify.Check(HmacKey(longKey.c_str())); }},
      {"no certificate", [&] { return verify.Check(SignatureKey("")); }},
      {"a certificate that does not parse", [&] { return verify.Check(SignatureKey(garbage)); }},
      {"null challenge",
       [&] {
         AmberVerifierKey key = HmacKey();
         verify.record.responseData = verify.response.data();
         return AmberVerifierCheckVerify(&key, nullptr, &verify.record);
       }},
      {"null record",
       [&] {
         AmberVerifierKey key = HmacKey();
         return AmberVerifierCheckVerify(&key, kChallenge, nullptr);
       }},
      {"null response",
       [&] {
         AmberVerifierKey key = HmacKey();
         VerifyChallengeRecord r = verify.record;
         r.responseData = nullptr;
         return AmberVerifierCheckVerify(&key, kChallenge, &r);
       }},
      {"digest text without terminator",
       [&] {
         VerifyAnswer changed = verify;
         memset(changed.record.digestText, 'A', sizeof changed.record.digestText);
         return changed.Check(HmacKey());
       }},
      {"challenge without terminator",
       [&] {
         IdentifyAnswer changed = identify;
         memset(changed.record.challenge, 'A', sizeof changed.record.challenge);
         return changed.Check(HmacKey());
       }},
      {"candidates missing",
       [&] {
         AmberVerifierKey key = HmacKey();
         return AmberVerifierCheckIdentify(&key, kChallenge, &identify.record, 1, nullptr);
       }},
  };
  for (const Case &c : cases) EXPECT_EQ(AMBER_VERIFIER_BAD_ARGUMENT, c.check()) << c.name;
}

// ---- The command-line tool -----------------------------------------------------

int RunTool(const std::vector<std::string> &args) {
  return test::RunAndWait(test::NativePath(AMBERCRYPT_VERIFY_TOOL), args);
}

#if defined(_WIN32)
const char kSeparator[] = "\\";
#else
const char kSeparator[] = "/";
#endif

void WriteBytes(const std::string &path, const void *data, size_t n) {
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f) << path;
  setvbuf(f, nullptr, _IONBF, 0);  // no stdio buffer keeps a copy of a key text
  ASSERT_EQ(n, fwrite(data, 1, n, f));
  ASSERT_EQ(0, fclose(f));
}

TEST_F(VerifierTest, ToolChecksFiles) {
  const std::string dir = test::TempDirectory();
  auto file = [&](const char *name) { return dir + kSeparator + name; };
  WriteBytes(file("key.txt"), kKeyText, strlen(kKeyText));
  WriteBytes(file("signer.pem"), signerPem_.data(), signerPem_.size());

  Provision(AMBER_RESPONSE_HMAC);
  VerifyAnswer verify = Verified(1, 1000, 80);
  WriteBytes(file("verify.record"), &verify.record, sizeof verify.record);
  WriteBytes(file("verify.response"), verify.response.data(), verify.response.size());
  verify.response[7] ^= 1;
  WriteBytes(file("changed.response"), verify.response.data(), verify.response.size());
  Provision(AMBER_RESPONSE_SIGNATURE);
  IdentifyAnswer identify = Identified({{3, 100}, {7, -2000}}, 75);
  WriteBytes(file("identify.record"), &identify.record, sizeof identify.record);
  WriteBytes(file("identify.response"), identify.response.data(), identify.response.size());

  const std::vector<std::string> verifyArgs = {"verify", "--challenge", kChallenge, "--record", file("verify.record"),
                                               "--method", "40", "--key-file", file("key.txt"), "--response"};
  const std::vector<std::string> identifyArgs = {"identify", "--challenge", kChallenge, "--record",
                                                 file("identify.record"), "--method", "30", "--cert",
                                                 file("signer.pem"), "--response", file("identify.response")};
  auto with = [](std::vector<std::string> args, std::vector<std::string> more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  struct Case {
    const char *name;
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {"verify by HMAC", with(verifyArgs, {file("verify.response")}), 0},
      {"a byte of the response changed", with(verifyArgs, {file("changed.response")}), 1},
      {"another challenge", with(verifyArgs, {file("verify.response"), "--challenge", "Nonce4712"}), 1},
      {"identify by signature", with(identifyArgs, {"--candidate", "3:100", "--candidate", "7:-2000"}), 0},
      {"a candidate's rate changed", with(identifyArgs, {"--candidate", "3:100", "--candidate", "7:2000"}), 1},
      {"a candidate missing", with(identifyArgs, {"--candidate", "3:100", "--count", "2"}), 2},
      {"no response", {"verify", "--challenge", kChallenge, "--record", file("verify.record"), "--method", "40",
                       "--key-file", file("key.txt")}, 2},
      {"a record of the other kind", with(verifyArgs, {file("verify.response"), "--record", file("identify.record")}),
       2},
      {"method 40 with a certificate",
       {"verify", "--challenge", kChallenge, "--record", file("verify.record"), "--method", "40", "--cert",
        file("signer.pem"), "--response", file("verify.response")}, 2},
      {"a file that is not there", with(verifyArgs, {file("missing.response")}), 2},
  };
  for (const Case &c : cases) EXPECT_EQ(c.status, RunTool(c.args)) << c.name;
  test::RemoveTree(dir);
}

}  // namespace
}  // namespace ambercrypt
