// admin_layer.h: the administration layer, between ambercrypt-admin's commands
// and the store. What a command reads of an installation and of one
// application (show, list, and whatever reads the store next) is read here,
// in one place, with the library's own store code; the library, attached as
// the tool's own host, is reached through here alone; and the few things the
// library leaves to its installer (the administrator password's digest, the
// index of application names) are written here. Settings themselves change
// only through the library's exports, which the commands call. Platform
// differences stay below, in the tools' platform layer (tool_store.h). One
// thread; the strings returned name what went wrong for a message.
#ifndef AMBERCRYPT_TOOLS_ADMINLIB_ADMIN_LAYER_H_
#define AMBERCRYPT_TOOLS_ADMINLIB_ADMIN_LAYER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crypto/wiping_allocator.h"
#include "tools/tool_store.h"

namespace ambercrypt::adminlib {

// ---- The installation --------------------------------------------------------

struct Installation {
  tools::StoreOpening store;  // what opening the store found
  bool passwordDigest = false;
  bool hasNumber = false;
  uint32_t number = 0;                    // key material is built from it: never print it
  std::vector<std::string> applications;  // the AppKeys that have settings
};

// ReadInstallation opens the store (never making it) and reads what the
// installation holds. Every command that uses the store calls it first.
Installation ReadInstallation();

// WhyNoInstallation: why `here` is no installation to work on (its store
// refused, missing, or never installed), for a message.
std::string WhyNoInstallation(const Installation &here);

// The reason the store gave for refusing it or a part of it, for a message
// ("the store is refused: PATH: why"); empty when it gave none.
std::string StoreRefusalText(const tools::StoreOpening &store);

// AcceptableNewPassword: whether password may become the administrator
// password, by the library's rules for administration texts.
bool AcceptableNewPassword(const char *password);

// Install makes the store when there is none, removes the installation there
// (replace: the caller has made sure it is meant), stores the digest of the
// new administrator password, and attaches the library, which creates the
// installation number. False with *error saying what failed; an installation
// half made (a digest without a number) is then left for a new install.
bool Install(const char *password, bool replace, std::string *error);

// ---- The library, attached as the tool's own host ----------------------------

// Attaches the library for the life of the object, for a command that needs
// an installation: Attach fails, with *error, when there is none or its
// installation number cannot be read.
class AttachedLibrary {
 public:
  AttachedLibrary() = default;
  ~AttachedLibrary();
  AttachedLibrary(const AttachedLibrary &) = delete;
  AttachedLibrary &operator=(const AttachedLibrary &) = delete;
  bool Attach(std::string *error);

 private:
  bool attached_ = false;
};

// SelectApplication makes name the application the library's administration
// side addresses, as a call naming it would: the one that signing and
// verifying BIRs then work on. False when the library has no AppKey for it.
bool SelectApplication(const std::string &name);

// AdmitAdministrator: AMBER_OK when password is the installation's
// administrator password, as the library's administration calls check it;
// else the code they return for it (flagged, as an export returns it).
uint32_t AdmitAdministrator(const char *password);

// ---- Application names --------------------------------------------------------

// The AppKey the store files an application under (28 characters), or empty
// when the name has none (an empty name).
std::string AppKeyOf(const std::string &name);

// The name the tool's index holds for an AppKey, or empty.
std::string IndexedName(const std::string &appKey);

// RememberName / ForgetName: the tool's own index of the names it administered
// (the store keeps only each name's AppKey). False when the index cannot be
// written; the settings themselves are unaffected.
bool RememberName(const std::string &name);
bool ForgetName(const std::string &name);

// Where the index lives, for a message.
std::string NameIndexPath();

// ---- One application's settings, as stored -------------------------------------

// A stored number: absent when the store holds none (or none that decrypts).
using Number = std::optional<int32_t>;

struct PolicyReadout {
  Number maxFmr, maxFailures, lockMinutes, flag, responseMethod;
  bool keyTextPresent = false;
  SecretString keyText;  // with reveal only
};

struct CertificateReadout {
  bool registered = false;
  std::vector<uint8_t> issuer;  // DER of the issuer name
  std::vector<uint8_t> serial;  // least significant byte first, as CryptoAPI holds it
};

struct LockoutReadout {
  bool recorded = false;     // the application has lockout state at all
  Number failures;
  std::optional<int64_t> releaseTime;  // a local-time FILETIME count, as stored
  bool locked = false;       // the release time is still ahead
};

struct ApplicationReadout {
  std::string appKey;
  bool present = false;  // the store holds settings for it; nothing below is read otherwise
  Number mode, customMask;
  bool secretKeySet = false;
  Number cipher;
  bool secretKeyPresent = false;
  SecretString secretKey;  // with reveal only: the characters stored before the fixed suffix
  PolicyReadout verify, identify;
  CertificateReadout signing, endUser;
  LockoutReadout verifyLockout, identifyLockout;
  // A read the store failed to answer: a value shown as absent might not be.
  bool storeFailed = false;
};

enum class ReadResult {
  kRead,          // *out holds what is stored (present tells whether anything is)
  kNoAppKey,      // the name has none: no application can have it
  kNoKeyMaterial  // the installation number cannot be read: nothing decrypts
};

// ReadApplication reads everything stored for name with the installation's
// key material; secrets only with reveal.
ReadResult ReadApplication(const std::string &name, bool reveal, ApplicationReadout *out);

}  // namespace ambercrypt::adminlib

#endif  // AMBERCRYPT_TOOLS_ADMINLIB_ADMIN_LAYER_H_
