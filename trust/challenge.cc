// challenge.cc: VerifyChallenge and IdentifyChallenge, the recorded outcome of
// the last verify or identify in authenticated form. The response text is the
// outcome in decimal and Base64 followed by the caller's challenge; the
// response is its HMAC-SHA-1 keyed from the application's key text (method
// 40) or a PKCS#7 message signed by its end-user certificate (method 30). A
// successful answer with a response buffer consumes the pending outcome, so
// each outcome is answered once; size queries and failures leave it pending
// and the caller's record untouched.
#include <cstring>
#include <new>
#include <string>

#include "core/admin_password.h"
#include "core/pending_outcome.h"
#include "crypto/base64.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "store/certificate_id.h"
#include "store/settings.h"
#include "trust/trust.h"

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
  return CheckPasswordRules(challenge);
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
uint32_t Respond(SettingStore::Key &key, const ResponseSettings &family, const ResponseText &text, ResponseBuffer out,
                 bool *answered) {
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

// The sequence both challenges share: the arguments; the current
// application's key; its family's pending outcome, held from the look-up to
// the consumption so that one whole outcome is answered, and once; the
// response text, which compose(outcome, &text) begins (AMBER_OK, or the code
// the challenge answers) and the challenge ends; the response; and only for
// an answered response, the caller's record (fill(outcome) and the challenge
// text) and the outcome's consumption.
template <typename Pending, typename Record, typename Compose, typename Fill>
uint32_t AnswerChallenge(const SpiContext &spi, const ResponseSettings &family, const char *challenge, Record *record,
                         Compose compose, Fill fill) try {
  if (!ChallengeIsUsable(challenge, record)) return AMBER_E_BAD_CHALLENGE;
  SettingStore::Key key = spi.store().Open(SettingKey::kApplication, KEY_READ);
  if (!key.ok() || spi.appKey() == nullptr) return AMBER_E_NO_PENDING_OUTCOME;

  Pending pending(spi.appKey());
  const auto outcome = pending.Find();
  if (!outcome) return AMBER_E_NO_PENDING_OUTCOME;
  ResponseText text;
  uint32_t status = compose(*outcome, &text);
  if (status != AMBER_OK) return status;
  const size_t challengeLength = strlen(challenge);
  text.Append(challenge, challengeLength);

  bool answered = false;
  status = Respond(key, family, text, ResponseBuffer{record->responseData, &record->responseLength}, &answered);
  if (status != AMBER_OK || !answered) return status;
  fill(*outcome);
  memset(record->challenge, 0, sizeof record->challenge);
  memcpy(record->challenge, challenge, challengeLength);
  pending.Take();
  return AMBER_OK;
} catch (const std::bad_alloc &) {
  return AMBER_E_RESPONSE_FAILED;
}

// The Base64 text of a pending outcome's digest (with its line feed), wiped
// when it goes.
struct DigestText {
  char text[40] = {};
  uint64_t length = 0;
  ~DigestText() { WipeMemory(text, sizeof text); }
};

}  // namespace

uint32_t VerifyChallenge(const SpiContext &spi, const char *challenge, VerifyChallengeRecord *record) {
  DigestText digestText;
  auto compose = [&](const VerifyOutcome &outcome, ResponseText *text) {
    if (outcome.digest.size() != kDigestSize) return AMBER_E_NO_PENDING_OUTCOME;
    Base64Encode(outcome.digest.data(), outcome.digest.size(), digestText.text, &digestText.length);
    text->AppendDecimal(static_cast<int32_t>(outcome.result));
    text->AppendDecimal(outcome.level);
    text->AppendDecimal(outcome.achievedFmr);
    text->Append(digestText.text, digestText.length);
    return AMBER_OK;
  };
  auto fill = [&](const VerifyOutcome &outcome) {
    record->result = static_cast<uint8_t>(outcome.result);
    record->level = outcome.level;
    record->achievedFmr = outcome.achievedFmr;
    memset(record->digestText, 0, sizeof record->digestText);
    memcpy(record->digestText, digestText.text, kDigestTextLength);
  };
  return AnswerChallenge<PendingVerify>(spi, kVerifyResponse, challenge, record, compose, fill);
}

uint32_t IdentifyChallenge(const SpiContext &spi, const char *challenge, IdentifyChallengeRecord *record) {
  auto compose = [](const IdentifyOutcome &outcome, ResponseText *text) {
    text->AppendDecimal(static_cast<int32_t>(outcome.count));
    text->AppendDecimal(outcome.level);
    // The candidates, read where the BSP left them; a count with the top bit
    // set is negative as a number and names none.
    const int32_t listed = static_cast<int32_t>(outcome.count);
    if (listed >= 1) {
      const BioAPI_CANDIDATE *array = *outcome.candidates;
      if (array == nullptr) return AMBER_E_RESPONSE_FAILED;
      for (int32_t i = 0; i < listed; ++i) {
        if (array[i].BIRInArray == nullptr) return AMBER_E_RESPONSE_FAILED;
        text->AppendDecimal(static_cast<int32_t>(*array[i].BIRInArray));
        text->AppendDecimal(array[i].FMRAchieved);
      }
    }
    return AMBER_OK;
  };
  auto fill = [&](const IdentifyOutcome &outcome) {
    record->count = static_cast<uint8_t>(outcome.count);
    record->candidates = outcome.candidates;
    record->level = outcome.level;
  };
  return AnswerChallenge<PendingIdentify>(spi, kIdentifyResponse, challenge, record, compose, fill);
}

}  // namespace ambercrypt
