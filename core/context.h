// context.h: the state the exports work on, one context per family. Each
// feature (admin/, bir/, policy/, trust/) is a set of functions of the
// context it needs; frame/ owns one context of each per attached process.
// They live in core/, below every feature and above store/, because they
// hold more than the settings: the BIR cipher and its lock, and the SPI
// side's current application, which the admission and the features share.
//
// FpiContext serves the KoBioFPI_ calls. Its application is the host's, fixed
// at attach, so its store is read-only afterwards and its calls may run on any
// number of threads at once; its CCrypt, which keeps the derived key of the
// last BIR, is only reachable under its lock (WithCipher). SpiContext serves
// the KoBioSPI_ calls, which the export frame runs one at a time: its current
// application changes with every call that names one.
//
// Neither holds the caches (store/caches.h) or the pending outcomes
// (core/pending_outcome.h): those are process-wide, shared by both families
// (an update on the FPI side leaves the outcome its challenge on the SPI side
// answers) and kept for the host application between calls.
#ifndef AMBERCRYPT_CORE_CONTEXT_H_
#define AMBERCRYPT_CORE_CONTEXT_H_

#include <cstdint>
#include <mutex>

#include "crypto/ccrypt.h"
#include "store/setting_store.h"

namespace ambercrypt {

class FpiContext {
 public:
  FpiContext() = default;
  FpiContext(const FpiContext &) = delete;
  FpiContext &operator=(const FpiContext &) = delete;

  // Attach makes fileName's application the host's, loads the installation
  // key material and puts each of the host's settings that can be read into
  // its cache (and the cipher's algorithm into the cipher). False when there
  // is no application or no key material; true otherwise, also for an
  // application with no settings yet.
  bool Attach(const char *fileName);

  // The host application's AppKey text and the key material (null before
  // attach), and the store that reads its settings.
  const SettingStore &store() const { return store_; }
  const char *appKey() const { return store_.appKey(); }

  // Runs use(CCrypt &) under the cipher's lock and returns what it returns:
  // BIR ciphers and digests of one process run one at a time, and the
  // cipher's algorithm and kept key are the state of the call in hand.
  template <typename Use>
  auto WithCipher(Use use) {
    std::lock_guard<std::mutex> lock(cryptMutex_);
    return use(crypt_);
  }

 private:
  SettingStore store_;
  CCrypt crypt_;
  std::mutex cryptMutex_;
};

class SpiContext {
 public:
  SpiContext() = default;
  SpiContext(const SpiContext &) = delete;
  SpiContext &operator=(const SpiContext &) = delete;

  // Attach makes fileName's application the current one and loads the key
  // material. False when either fails.
  bool Attach(const char *fileName);
  // SetApplication makes name the current application: false, with none
  // current, when its AppKey cannot be derived (a null or empty name).
  bool SetApplication(const char *name);
  // LoadInstallationKey builds the key material (creating the installation
  // number when absent): false, with nothing changed, when there is none.
  bool LoadInstallationKey();

  // The current application's AppKey text and the key material (null when
  // none), and the store that reads and writes its settings.
  const SettingStore &store() const { return store_; }
  const char *appKey() const { return store_.appKey(); }

  // ReadFunctionMode answers the current application's restriction mode, or
  // kModeUnreadable. Opens its key with the create flag, as an administration
  // call may name an application that has no key yet.
  uint32_t ReadFunctionMode() const;
  // CreateUserInfoKey makes the current application's UserInfo key and gives
  // it a null DACL, so that every account may write the lockout state below
  // it: false when either step failed.
  bool CreateUserInfoKey() const;

 private:
  SettingStore store_;
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CORE_CONTEXT_H_
