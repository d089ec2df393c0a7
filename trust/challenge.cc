// challenge.cc: VerifyChallenge and IdentifyChallenge, the recorded outcome of
// the last verify or identify in authenticated form. The response text is the
// outcome in decimal and Base64 followed by the caller's challenge; the
// response is its HMAC-SHA-1 keyed from the application's key text (method
// 40) or a PKCS#7 message signed by its end-user certificate (method 30). A
// successful answer with a response buffer consumes the pending outcome, so
// each outcome is answered once; size queries and failures leave it pending
// and the caller's record untouched.
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "admin/admin_password.h"
#include "crypto/base64.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "frame/spi_ctrl.h"
#include "store/caches.h"
#include "store/settings.h"
#include "trust/certificate_id.h"

namespace ambercrypt {
namespace {

constexpr size_t kChallengeMax = 213;
constexpr uint32_t kHmacLength = 20;
constexpr uint32_t kDigestTextLength = 29;  // Base64 of 20 bytes and its line feed
constexpr int32_t kKeyTextMax = 255;        // the longest key text a policy takes

// The settings of one family's response.
struct ResponseSettings {
  const Setting &method;
  const Setting &keyTextLength;
  const Setting &keyText;
};
constexpr ResponseSettings kVerifyResponse{settings::kVerifyResponseMethod, settings::kVerifyKeyTextLength,
                                           settings::kVerifyKeyText};
constexpr ResponseSettings kIdentifyResponse{settings::kIdentifyResponseMethod, settings::kIdentifyKeyTextLength,
                                             settings::kIdentifyKeyText};

// A text that grows as it is written, in wiped memory: as long as its parts
// make it, whatever their number and width.
class ResponseText {
 public:
  void Append(const char *part, size_t n) {
    if (length_ + n > buffer_.size()) {
      size_t wanted = buffer_.size() * 2 > length_ + n ? buffer_.size() * 2 : length_ + n + 256;
      if (wanted > 0xFFFFFFFFu) throw std::bad_alloc();
      CSecureBuffer larger(static_cast<uint32_t>(wanted));
      if (length_ != 0) memcpy(larger.data(), buffer_.data(), length_);
      buffer_ = std::move(larger);
    }
    memcpy(buffer_.data() + length_, part, n);
    length_ += n;
  }
  void AppendDecimal(int32_t value) {
    char digits[12];  // "-2147483648" and the terminator
    _itoa(value, digits, 10);
    Append(digits, strlen(digits));
  }
  const uint8_t *data() const { return buffer_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(length_); }

 private:
  CSecureBuffer buffer_;
  size_t length_ = 0;
};

// The argument checks both operations make first, in their order.
bool ChallengeIsUsable(const char *challenge, const void *record) {
  if (challenge == nullptr) return false;
  size_t length = strnlen(challenge, kChallengeMax + 1);
  if (length > kChallengeMax || length == 0) return false;
  if (record == nullptr) return false;
  return CheckPasswordRules(challenge) != 0;
}

// Where the response goes and what it may be: a null buffer asks the length.
struct ResponseBuffer {
  uint8_t *data;
  uint32_t *length;  // capacity on entry when data is given
};

// Computes the response over text into out with the family's method.
// AMBER_OK with *answered set when a response was written, clear when only
// its length was reported; else AMBER_E_RESPONSE_FAILED, with the caller's
// length and buffer untouched.
uint32_t Respond(SettingStore::Key &key, const ResponseSettings &family, const ResponseText &text,
                 ResponseBuffer out, bool *answered) {
  *answered = false;
  int32_t method = 0;
  if (key.ReadInt(family.method, &method) != ERROR_SUCCESS) return AMBER_E_RESPONSE_FAILED;
  if (method == AMBER_RESPONSE_HMAC) {
    int32_t keyLength = 0;
    if (key.ReadInt(family.keyTextLength, &keyLength) != ERROR_SUCCESS) return AMBER_E_RESPONSE_FAILED;
    if (keyLength < 1 || keyLength > kKeyTextMax) return AMBER_E_RESPONSE_FAILED;
    CSecureBuffer keyText(static_cast<uint32_t>(keyLength));
    uint32_t read = keyText.size();
    if (key.ReadBytes(family.keyText, keyText.data(), &read) != ERROR_SUCCESS || read != keyText.size()) {
      return AMBER_E_RESPONSE_FAILED;
    }
    uint8_t mac[kHmacLength];
    memset(mac, 0, sizeof mac);
    uint32_t macLength = sizeof mac;
    CCrypt crypt;
    uint32_t status = crypt.Hmac(text.data(), text.size(), mac, &macLength, keyText.data(), keyText.size());
    uint32_t result = AMBER_OK;
    if (status != ERROR_SUCCESS || macLength != kHmacLength) {
      result = AMBER_E_RESPONSE_FAILED;
    } else if (out.data == nullptr) {
      *out.length = macLength;
    } else if (*out.length < macLength) {
      result = AMBER_E_RESPONSE_FAILED;  // never written past the capacity given
    } else {
      memcpy(out.data, mac, macLength);
      *out.length = macLength;
      *answered = true;
    }
    WipeMemory(mac, sizeof mac);
    return result;
  }
  if (method == AMBER_RESPONSE_SIGNATURE) {
    StoredCertificateId signer;
    if (signer.Read(key, kEndUserCertificate) != ERROR_SUCCESS) return AMBER_E_RESPONSE_FAILED;
    CCrypt crypt;
    uint32_t size = out.data != nullptr ? *out.length : 0;
    if (crypt.SignMessage(&signer.id(), text.data(), text.size(), out.data, &size) != ERROR_SUCCESS) {
      return AMBER_E_RESPONSE_FAILED;
    }
    // A size query reports the message length; with a buffer, the length the
    // caller set stays (the message's DER header states its own).
    if (out.data == nullptr) {
      *out.length = size;
    } else {
      *answered = true;
    }
    return AMBER_OK;
  }
  return AMBER_E_RESPONSE_FAILED;
}

}  // namespace

uint32_t CSPICtrl::VerifyChallenge(const char *challenge, VerifyChallengeRecord *record) try {
  if (!ChallengeIsUsable(challenge, record)) return AMBER_E_BAD_CHALLENGE;
  SettingStore::Key key = store.Open(SettingKey::kApplication, KEY_READ);
  if (!key.ok() || appKey == nullptr) return AMBER_E_NO_PENDING_OUTCOME;

  SettingCaches &caches = Caches();
  const std::string current = appKey;
  // From the look-up to the consumption: one whole outcome, answered once.
  std::lock_guard<std::mutex> pending(caches.VerifyPendingMutex);
  const auto result = caches.VerifyPendingResultCache.Find(current);
  const auto level = caches.VerifyPendingLevelCache.Find(current);
  const auto achievedFmr = caches.VerifyPendingValueCache.Find(current);
  const auto digest = caches.VerifyPendingDigestCache.Find(current);
  if (result == nullptr || level == nullptr || achievedFmr == nullptr || digest == nullptr ||
      digest->size() != kDigestSize) {
    return AMBER_E_NO_PENDING_OUTCOME;
  }

  char digestText[40];
  memset(digestText, 0, sizeof digestText);
  uint64_t digestTextLength = 0;
  Base64Encode(digest->data(), digest->size(), digestText, &digestTextLength);
  const size_t challengeLength = strlen(challenge);
  ResponseText text;
  text.AppendDecimal(static_cast<int32_t>(*result));
  text.AppendDecimal(*level);
  text.AppendDecimal(*achievedFmr);
  text.Append(digestText, digestTextLength);
  text.Append(challenge, challengeLength);

  bool answered = false;
  uint32_t status =
      Respond(key, kVerifyResponse, text, ResponseBuffer{record->responseData, &record->responseLength}, &answered);
  if (status != AMBER_OK || !answered) {
    WipeMemory(digestText, sizeof digestText);
    return status;
  }

  record->result = static_cast<uint8_t>(*result);
  record->level = *level;
  record->achievedFmr = *achievedFmr;
  memset(record->digestText, 0, sizeof record->digestText);
  memcpy(record->digestText, digestText, kDigestTextLength);
  memset(record->challenge, 0, sizeof record->challenge);
  memcpy(record->challenge, challenge, challengeLength);
  WipeMemory(digestText, sizeof digestText);

  caches.VerifyPendingValueCache.Erase(current);
  caches.VerifyPendingLevelCache.Erase(current);
  caches.VerifyPendingResultCache.Erase(current);
  caches.VerifyPendingDigestCache.Erase(current);
  return AMBER_OK;
} catch (const std::bad_alloc &) {
  return AMBER_E_RESPONSE_FAILED;
}

uint32_t CSPICtrl::IdentifyChallenge(const char *challenge, IdentifyChallengeRecord *record) try {
  if (!ChallengeIsUsable(challenge, record)) return AMBER_E_BAD_CHALLENGE;
  SettingStore::Key key = store.Open(SettingKey::kApplication, KEY_READ);
  if (!key.ok() || appKey == nullptr) return AMBER_E_NO_PENDING_OUTCOME;

  SettingCaches &caches = Caches();
  const std::string current = appKey;
  std::lock_guard<std::mutex> pending(caches.IdentifyPendingMutex);
  const auto count = caches.IdentifyPendingCountCache.Find(current);
  const auto level = caches.IdentifyPendingLevelCache.Find(current);
  const auto reference = caches.IdentifyPendingRefCache.Find(current);
  if (count == nullptr || level == nullptr || (*count != 0 && reference == nullptr)) {
    return AMBER_E_NO_PENDING_OUTCOME;
  }
  BioAPI_CANDIDATE **candidates = *count != 0 ? reinterpret_cast<BioAPI_CANDIDATE **>(*reference) : nullptr;

  const size_t challengeLength = strlen(challenge);
  ResponseText text;
  text.AppendDecimal(static_cast<int32_t>(*count));
  text.AppendDecimal(*level);
  // The candidates, read where the BSP left them; a count with the top bit
  // set is negative as a number and names none.
  const int32_t listed = static_cast<int32_t>(*count);
  if (listed >= 1) {
    const BioAPI_CANDIDATE *array = *candidates;
    if (array == nullptr) return AMBER_E_RESPONSE_FAILED;
    for (int32_t i = 0; i < listed; ++i) {
      if (array[i].BIRInArray == nullptr) return AMBER_E_RESPONSE_FAILED;
      text.AppendDecimal(static_cast<int32_t>(*array[i].BIRInArray));
      text.AppendDecimal(array[i].FMRAchieved);
    }
  }
  text.Append(challenge, challengeLength);

  bool answered = false;
  uint32_t status =
      Respond(key, kIdentifyResponse, text, ResponseBuffer{record->responseData, &record->responseLength}, &answered);
  if (status != AMBER_OK || !answered) return status;

  record->count = static_cast<uint8_t>(*count);
  record->candidates = candidates;
  record->level = *level;
  memset(record->challenge, 0, sizeof record->challenge);
  memcpy(record->challenge, challenge, challengeLength);

  caches.IdentifyPendingRefCache.Erase(current);
  caches.IdentifyPendingLevelCache.Erase(current);
  caches.IdentifyPendingCountCache.Erase(current);
  return AMBER_OK;
} catch (const std::bad_alloc &) {
  return AMBER_E_RESPONSE_FAILED;
}

}  // namespace ambercrypt
