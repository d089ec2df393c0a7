/* The verifier's header from plain C, against the static library: a method-40
 * answer to a verify challenge with a MAC computed outside this project
 * (Python's hashlib and hmac, the key derived as CryptDeriveKey derives it)
 * is valid, and not once one byte of it or of the record differs. */
#include <stdio.h>
#include <string.h>

#include "ambercrypt/verifier.h"

static int failures = 0;

static void expect(const char *what, int actual, int expected) {
  if (actual != expected) {
    printf("FAILED %s: %d, expected %d\n", what, actual, expected);
    ++failures;
  }
}

int main(void) {
  /* result 1, level 80, FMR 1000, the digest of "biometric data of one
   * person", challenge "Nonce4711", key text "Shared key text 1". */
  static const uint8_t kMac[20] = {0xE1, 0x69, 0x8D, 0x68, 0x64, 0x5C, 0xF9, 0x0F, 0x50, 0x9D,
                                   0x42, 0x5A, 0xBC, 0x27, 0xB8, 0x0B, 0x23, 0x6B, 0x5C, 0x70};
  const char keyText[] = "Shared key text 1";
  AmberVerifierKey key;
  VerifyChallengeRecord record;
  uint8_t response[20];
  memset(&key, 0, sizeof key);
  key.method = AMBER_RESPONSE_HMAC;
  key.keyText = keyText;
  key.keyTextLength = strlen(keyText);
  memset(&record, 0, sizeof record);
  record.result = 1;
  record.level = 80;
  record.achievedFmr = 1000;
  strcpy(record.digestText, "5OqZJSFj5mWduydYQM6uj2xX+xw=\n");
  strcpy(record.challenge, "Nonce4711");
  memcpy(response, kMac, sizeof response);
  record.responseData = response;
  record.responseLength = sizeof response;

  expect("the answer", AmberVerifierCheckVerify(&key, "Nonce4711", &record), AMBER_VERIFIER_VALID);
  response[19] ^= 1;
  expect("a byte of the MAC", AmberVerifierCheckVerify(&key, "Nonce4711", &record), AMBER_VERIFIER_INVALID);
  response[19] ^= 1;
  record.achievedFmr = 1001;
  expect("the FMR", AmberVerifierCheckVerify(&key, "Nonce4711", &record), AMBER_VERIFIER_INVALID);
  record.achievedFmr = 1000;
  expect("another challenge", AmberVerifierCheckVerify(&key, "Nonce4712", &record), AMBER_VERIFIER_INVALID);
  expect("no key", AmberVerifierCheckVerify(NULL, "Nonce4711", &record), AMBER_VERIFIER_BAD_ARGUMENT);
  expect("identify without candidates", AmberVerifierCheckIdentify(&key, "Nonce4711", NULL, 1, NULL),
         AMBER_VERIFIER_BAD_ARGUMENT);
  if (failures == 0) printf("all passed\n");
  return failures == 0 ? 0 : 1;
}
