// fuzz_store.h: the store every fuzz target of the exports runs against, and
// the arguments they build from the input.
//
// The store is a temporary state root per process (set up once, removed at
// exit; a root left by a process that died is removed by the next one):
// an installation (administrator password and installation number), the
// reference signer and its key in "ROOT", a BSP module, and two provisioned
// applications: the host itself ("FuzzHost": mode 4, AES-256 secret key,
// verify policy with lockout and HMAC answers, identify policy with lockout
// and signed answers, signing and end-user certificates) and "Kiosk" (mode 5
// with a mask of its own, 3DES secret key, no policies). "Stranger" has no
// settings at all. The clock is fixed, so no result depends on when it runs.
#ifndef AMBERCRYPT_TESTS_FUZZ_FUZZ_STORE_H_
#define AMBERCRYPT_TESTS_FUZZ_FUZZ_STORE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "fuzz/fuzz_input.h"

namespace ambercrypt::fuzz {

inline constexpr char kPassword[] = "Admin123";
inline constexpr char kHostName[] = "FuzzHost";
inline constexpr char kKioskName[] = "Kiosk";
inline constexpr char kStrangerName[] = "Stranger";
inline constexpr char kSecretKey[] = "Secret12";  // the cross-target vectors' key
inline constexpr char kKeyText[] = "KeyText1";
inline constexpr char kChallenge[] = "Nonce4712";
inline constexpr char kBspDigest[] = "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=";  // SHA-1 of "abc"
inline constexpr BioAPI_UUID kBspUuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                         0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
inline constexpr uint64_t kFuzzEpoch = 133000000000000000ull;  // a FILETIME in 2022

// Once per process: makes the temporary root, provisions it and attaches the
// library as the host. Later calls do nothing. Aborts rather than run against
// any other store.
void SetUpStore();
const std::string &StoreRoot();

// After an input whose administration call succeeded: the three
// applications provisioned again from nothing, applications the input made
// removed, the host reattached. Does nothing after any other input.
void Reprovision();
// The registry file's change counter, which moves with every commit.
uint32_t StoreChangeCounter();
// The whole registry rebuilt as SetUpStore made it, the host attached again.
void RestoreInstallation();
// The host's lockout records back to no failures and no lock, every pending
// outcome forgotten, the clock back to kFuzzEpoch and the administration
// side addressing the host.
void ResetHostState();
// Moves the fixed clock.
void SetClock(uint64_t fileTime);
uint64_t Clock();

// The reference signer as the library names certificates, and a certificate
// that no store holds.
const IssuerSerial &SignerId();

// Arguments owned by the caller of the export: each buffer is a heap block of
// exactly the size its record claims, so reading past it is caught.
struct OwnedBir {
  BioAPI_BIR bir{};
  std::vector<uint8_t> data, block;
  bool null = false;
  BioAPI_BIR *get() { return null ? nullptr : &bir; }
};

// An input record: selector byte (0: null), 52 header bytes, data type byte,
// biometric data (Blob), security block (selector: none, null with a length,
// or a Blob).
OwnedBir ReadBir(FuzzInput &in);
// An output record: capacities of its data and security block (each possibly
// a null buffer, which asks for the size). A data buffer holds at least
// dataAtLeast bytes: what an export that cannot check its capacity will
// write there.
OwnedBir ReadOutputBir(FuzzInput &in, uint32_t dataAtLeast = 0);

struct OwnedText {
  std::vector<char> text;  // exactly the characters and the NUL
  bool null = false;
  const char *get() const { return null ? nullptr : text.data(); }
};
OwnedText MakeText(const std::string &s);
// Selector byte: 0 null, 1 to 3 the given known texts, otherwise a text of
// the input up to maxLength characters (past the library's limits).
OwnedText ReadText(FuzzInput &in, std::initializer_list<const char *> known, size_t maxLength = 300);

// An application name: one of the three applications, or any text.
OwnedText ReadApplication(FuzzInput &in);
OwnedText ReadPassword(FuzzInput &in);

struct OwnedIssuerSerial {
  IssuerSerial id{};
  std::vector<uint8_t> issuer, serial;
  bool null = false;
  const IssuerSerial *get() const { return null ? nullptr : &id; }
};
// The signer, the signer with a changed serial or issuer, blobs of the input
// (with null pointers and lengths too).
OwnedIssuerSerial ReadIssuerSerial(FuzzInput &in);

ResponseMethodRecord ReadResponseMethod(FuzzInput &in);

struct OwnedVerifyChallenge {
  VerifyChallengeRecord record{};
  std::vector<uint8_t> response;
  bool null = false;
  VerifyChallengeRecord *get() { return null ? nullptr : &record; }
};
struct OwnedIdentifyChallenge {
  IdentifyChallengeRecord record{};
  std::vector<uint8_t> response;
  bool null = false;
  IdentifyChallengeRecord *get() { return null ? nullptr : &record; }
};
OwnedVerifyChallenge ReadVerifyChallengeRecord(FuzzInput &in);
OwnedIdentifyChallenge ReadIdentifyChallengeRecord(FuzzInput &in);

// Names the current application of the administration side without writing
// anything (a call refused at the password, after it named the application).
void AddressApplication(const char *name);

// Calls export number `which` (1 to 19, the ordinals) with arguments read
// from the input. Returns the export's code.
uint32_t CallExport(int which, FuzzInput &in);

// Checks an export's code is one the library answers: 0, 257, or a flagged
// internal code of its table (or the null-output code of the signing export).
void CheckCode(int which, uint32_t code);

}  // namespace ambercrypt::fuzz

#endif  // AMBERCRYPT_TESTS_FUZZ_FUZZ_STORE_H_
