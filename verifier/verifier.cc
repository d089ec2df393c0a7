// Rebuilds the response text of a verify or identify challenge from what the
// application holds, and checks the response against it by either method.
#include "ambercrypt/verifier.h"

#include <cstring>
#include <string>

#include "crypto/constant_time.h"
#include "verifier/backend.h"

namespace ambercrypt::verifier {
namespace {

constexpr size_t kMacLength = 20;
constexpr size_t kMaxKeyText = 255;

// The decimal text of value as a signed 32-bit number.
std::string Decimal(uint32_t value) { return std::to_string(static_cast<int32_t>(value)); }

// The text of a fixed record field, or false when it has no terminator.
bool FieldText(const char *field, size_t capacity, std::string *text) {
  const void *end = memchr(field, '\0', capacity);
  if (end == nullptr) return false;
  text->assign(field, static_cast<const char *>(end));
  return true;
}

// The HMAC-SHA1 of text under the key the library makes from the key text:
// the SHA-1 of the text expanded as CryptDeriveKey expands a digest (SHA-1 of
// 64 bytes of 0x36, and of 0x5C, with the digest XORed in), of which the first
// 24 bytes are the 3DES key, and that key is the HMAC key.
bool KeyedMac(const uint8_t *keyText, size_t keyLength, const std::string &text, uint8_t mac[kMacLength]) {
  struct Secrets {
    uint8_t base[20], inner[64], outer[64], derived[40], pad[64], innerHash[20];
    ~Secrets() { Wipe(this, sizeof *this); }
  } s;
  if (!Sha1(keyText, keyLength, nullptr, 0, s.base)) return false;
  memset(s.inner, 0x36, sizeof s.inner);
  memset(s.outer, 0x5C, sizeof s.outer);
  for (size_t i = 0; i < sizeof s.base; ++i) {
    s.inner[i] ^= s.base[i];
    s.outer[i] ^= s.base[i];
  }
  if (!Sha1(s.inner, sizeof s.inner, nullptr, 0, s.derived) || !Sha1(s.outer, sizeof s.outer, nullptr, 0, s.derived + 20)) {
    return false;
  }
  // HMAC with the 24-byte key, zero-padded to SHA-1's 64-byte block.
  memset(s.pad, 0, sizeof s.pad);
  memcpy(s.pad, s.derived, 24);
  for (uint8_t &b : s.pad) b ^= 0x36;
  if (!Sha1(s.pad, sizeof s.pad, reinterpret_cast<const uint8_t *>(text.data()), text.size(), s.innerHash)) {
    return false;
  }
  for (uint8_t &b : s.pad) b ^= 0x36 ^ 0x5C;
  return Sha1(s.pad, sizeof s.pad, s.innerHash, sizeof s.innerHash, mac);
}

// The length of the DER element at the start of data, header included, or 0
// when it is no definite-length SEQUENCE that fits.
size_t DerElementLength(const uint8_t *data, size_t n) {
  if (n < 2 || data[0] != 0x30) return 0;
  size_t header = 2, length = data[1];
  if (length & 0x80) {
    const size_t octets = length & 0x7F;
    if (octets == 0 || octets > 4 || n < 2 + octets) return 0;
    length = 0;
    for (size_t i = 0; i < octets; ++i) length = (length << 8) | data[2 + i];
    header += octets;
  }
  return length <= n - header ? header + length : 0;
}

int CheckResponse(const AmberVerifierKey *key, const std::string &text, const uint8_t *response,
                  uint32_t responseLength) {
  if (response == nullptr) return AMBER_VERIFIER_BAD_ARGUMENT;
  if (key->method == AMBER_RESPONSE_HMAC) {
    if (responseLength != kMacLength) return AMBER_VERIFIER_INVALID;
    uint8_t mac[kMacLength];
    if (!KeyedMac(reinterpret_cast<const uint8_t *>(key->keyText), key->keyTextLength, text, mac)) {
      return AMBER_VERIFIER_ERROR;
    }
    const bool same = ConstantTimeEqual(mac, response, kMacLength);
    Wipe(mac, sizeof mac);
    return same ? AMBER_VERIFIER_VALID : AMBER_VERIFIER_INVALID;
  }
  // 0 when the response is no message at all: the certificate is still
  // checked first, so that an unusable one is named as such.
  const size_t messageLength = DerElementLength(response, responseLength);
  std::string content;
  const int checked = SignedContent(key->certificate, key->certificateLength, response, messageLength, &content);
  if (checked != AMBER_VERIFIER_VALID) return checked;
  return content.size() == text.size() &&
                 ConstantTimeEqual(reinterpret_cast<const uint8_t *>(content.data()),
                                   reinterpret_cast<const uint8_t *>(text.data()), text.size())
             ? AMBER_VERIFIER_VALID
             : AMBER_VERIFIER_INVALID;
}

bool UsableKey(const AmberVerifierKey *key) {
  if (key == nullptr) return false;
  if (key->method == AMBER_RESPONSE_HMAC) {
    return key->keyText != nullptr && key->keyTextLength >= 1 && key->keyTextLength <= kMaxKeyText;
  }
  return key->method == AMBER_RESPONSE_SIGNATURE && key->certificate != nullptr && key->certificateLength > 0;
}

// The record's challenge must be the one the application issued: a response
// to an earlier challenge answers nothing now.
bool SameChallenge(const char *field, size_t capacity, const char *challenge, int *result) {
  std::string recorded;
  if (!FieldText(field, capacity, &recorded)) {
    *result = AMBER_VERIFIER_BAD_ARGUMENT;
    return false;
  }
  if (recorded != challenge) {
    *result = AMBER_VERIFIER_INVALID;
    return false;
  }
  return true;
}

// The fields of a verify record as the library writes them: a result of 0 or
// 1, a level of at most 100, and the digest's Base64 text of exactly 27
// characters, the pad and a line feed. The response text runs the fields
// together without separators, so a record moved between its fields (a digit
// of the digest made part of the FMR, say) would rebuild the same text.
bool WellFormedVerifyFields(const VerifyChallengeRecord &record, const std::string &digest) {
  if (record.result > 1 || record.level > 100 || digest.size() != 29) return false;
  for (size_t i = 0; i < 27; ++i) {
    const char c = digest[i];
    const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                        c == '/';
    if (!base64) return false;
  }
  return digest[27] == '=' && digest[28] == '\n';
}

}  // namespace
}  // namespace ambercrypt::verifier

using namespace ambercrypt::verifier;

extern "C" int AmberVerifierCheckVerify(const AmberVerifierKey *key, const char *challenge,
                                        const VerifyChallengeRecord *record) {
  if (!UsableKey(key) || challenge == nullptr || record == nullptr) return AMBER_VERIFIER_BAD_ARGUMENT;
  int result = AMBER_VERIFIER_VALID;
  if (!SameChallenge(record->challenge, sizeof record->challenge, challenge, &result)) return result;
  std::string digest;
  if (!FieldText(record->digestText, sizeof record->digestText, &digest)) return AMBER_VERIFIER_BAD_ARGUMENT;
  if (!WellFormedVerifyFields(*record, digest)) return AMBER_VERIFIER_INVALID;
  const std::string text = Decimal(record->result) + Decimal(record->level) +
                           Decimal(static_cast<uint32_t>(record->achievedFmr)) + digest + challenge;
  return CheckResponse(key, text, record->responseData, record->responseLength);
}

extern "C" int AmberVerifierCheckIdentify(const AmberVerifierKey *key, const char *challenge,
                                          const IdentifyChallengeRecord *record, uint32_t count,
                                          const AmberVerifierCandidate *candidates) {
  if (!UsableKey(key) || challenge == nullptr || record == nullptr) return AMBER_VERIFIER_BAD_ARGUMENT;
  const int32_t signedCount = static_cast<int32_t>(count);
  if (signedCount >= 1 && candidates == nullptr) return AMBER_VERIFIER_BAD_ARGUMENT;
  int result = AMBER_VERIFIER_VALID;
  if (!SameChallenge(record->challenge, sizeof record->challenge, challenge, &result)) return result;
  // The record reports the count's low 8 bits: other candidates than these.
  if (record->count != static_cast<uint8_t>(count) || record->level > 100) return AMBER_VERIFIER_INVALID;
  std::string text = Decimal(count) + Decimal(record->level);
  for (int32_t i = 0; i < signedCount; ++i) {
    text += Decimal(candidates[i].index) + Decimal(static_cast<uint32_t>(candidates[i].rate));
  }
  text += challenge;
  return CheckResponse(key, text, record->responseData, record->responseLength);
}
