/*
 * verifier.h: checks a challenge response of ambercrypt on the receiving side.
 *
 * An application asks the library a challenge over the last verify or
 * identify outcome (KoBioSPI_VerifyChallenge, KoBioSPI_IdentifyChallenge) and
 * gets a record and a response. These functions rebuild the response text from
 * the record and the challenge the application issued, and check the response:
 *
 *   method 40 (AMBER_RESPONSE_HMAC): the 20-byte HMAC-SHA1 keyed as the
 *     library keys it from the key text (the 3DES key CryptDeriveKey makes
 *     from the SHA-1 of the text), compared in constant time;
 *   method 30 (AMBER_RESPONSE_SIGNATURE): a PKCS#7 SignedData message with its
 *     content attached, signed by the given end-user certificate and no other
 *     (certificates carried in the message are never trusted), whose content
 *     is exactly the response text. Bytes after the message's DER encoding
 *     are ignored: the library leaves a method-30 responseLength at the
 *     capacity of the caller's buffer.
 *
 * What a valid answer proves: that the library, holding the key text or the
 * end-user certificate's key, answered this challenge with this text. The
 * text runs the fields together without separators, so it does not fix how it
 * splits into fields: the checks pin what they can (a verify result of 0 or 1,
 * a level of at most 100, a digest text of exactly 29 characters), yet level 5
 * with FMR 37 and level 53 with FMR 7 give the same text, and so do identify
 * candidates (3, 10) and (31, 0). Nor is a valid answer a match. The
 * application decides on the fields it relies on: the result, the level and
 * FMR against its own thresholds, the digest against its own BIR's, and the
 * candidates against those it expects.
 *
 * Which challenge an answer belongs to. The record's challenge must equal the
 * one the application passes, and the response must cover it. In a verify
 * text the digest (ending in "=" and a line feed) stands just before the
 * challenge, so an answer to one challenge never checks as an answer to
 * another that holds no line feed. In an identify text the last number (the
 * last candidate's rate, or the level when there is none) runs straight into
 * the challenge, so a challenge's leading digits can join it: the answer to
 * "7Abcdef1" (level 5, no candidates) checks as an answer to "Abcdef1" with
 * level 57, and the answer to "42Nonce" whose last rate was 2000 checks as one
 * to "2Nonce" when the caller passes a last rate of 20004. What is refused is
 * any answer whose text differs from the one rebuilt here; what is not is an
 * answer the library gave to a challenge that ends with the issued one after
 * a run of digits. Such an answer could only come from whoever could ask the
 * library for an answer in the first place. So an application issues fresh
 * challenges that begin with a letter, and passes the count and candidates it
 * holds itself, never ones taken from the answering side or the record: then
 * an identify answer that checks was given to this very challenge.
 *
 * Part of the static library ambercrypt_verifier, not of the library itself:
 * it needs no store, no attached library and no certificate store. Linux
 * builds use OpenSSL, Windows builds CryptoAPI. Thread-safe; no global state.
 */
#ifndef AMBERCRYPT_VERIFIER_H_
#define AMBERCRYPT_VERIFIER_H_

#include <stddef.h>
#include <stdint.h>

#include "ambercrypt/ambercrypt.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
#define AMBER_VERIFIER_VALID        0 /* the response answers this outcome and challenge */
#define AMBER_VERIFIER_INVALID      1 /* it does not: wrong MAC, signature, signer, content or challenge */
#define AMBER_VERIFIER_BAD_ARGUMENT 2 /* null pointer, unknown method, key text or certificate unusable,
                                         record text fields not terminated, candidates missing */
#define AMBER_VERIFIER_ERROR        3 /* the crypto provider failed */

/* What the response is checked with. */
typedef struct AmberVerifierKey {
  uint32_t method;            /* AMBER_RESPONSE_HMAC or AMBER_RESPONSE_SIGNATURE */
  const char *keyText;        /* method 40: the key text's bytes, 1 to 255, no terminator needed */
  size_t keyTextLength;
  const uint8_t *certificate; /* method 30: the end-user certificate, DER or PEM */
  size_t certificateLength;
} AmberVerifierKey;

/* One identify candidate as the application holds it: the index into its BIR
 * array and the false-match rate the BSP achieved, in the BSP's order. */
typedef struct AmberVerifierCandidate {
  uint32_t index;
  int32_t rate;
} AmberVerifierCandidate;

/* Checks the response of a verify challenge. `challenge` is the text the
 * application issued (NUL-terminated); the record's own challenge must equal
 * it. The record's result, achievedFmr, level, digestText, responseData and
 * responseLength are read; nothing is written. */
int AmberVerifierCheckVerify(const AmberVerifierKey *key, const char *challenge,
                             const VerifyChallengeRecord *record);

/* Checks the response of an identify challenge. The record's candidates
 * reference points into the process that ran the identification, so the
 * application passes the candidates itself: `count` is the whole count given
 * to the identify update (the record holds its low 8 bits, which must agree),
 * and when count, as a signed 32-bit number, is at least 1, `candidates`
 * holds that many entries. The record's level, challenge, responseData and
 * responseLength are read. */
int AmberVerifierCheckIdentify(const AmberVerifierKey *key, const char *challenge,
                               const IdentifyChallengeRecord *record, uint32_t count,
                               const AmberVerifierCandidate *candidates);

#ifdef __cplusplus
}
#endif

#endif /* AMBERCRYPT_VERIFIER_H_ */
