// test_support.h: what the tests of both targets share. StoreTest gives each
// test a fresh store: on Linux a new state root directory, on Windows (Wine)
// the product's registry keys removed before and after. Helpers provision the
// values an installation would, and install the reference signer into "ROOT".
#ifndef AMBERCRYPT_TESTS_SUPPORT_TEST_SUPPORT_H_
#define AMBERCRYPT_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "platform/win32_api.h"
#include "policy/family.h"
#include "store/settings.h"

namespace ambercrypt::test {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string &hex);
std::string ToHex(const uint8_t *data, size_t n);
inline std::string ToHex(const Bytes &b) { return ToHex(b.data(), b.size()); }
Bytes Sha1(const std::string &text);

// Watches a secret the running test hands the library (a password, a key text,
// a plaintext, key material): in the Linux test build run with
// AMBERCRYPT_ZEROCHECK=1 (tests/zerocheck), the run fails when a freed heap
// block still holds it. Elsewhere nothing happens. The test's own copies must
// stay in static storage or be wiped. Texts of fewer than 6 characters are
// not watched.
void WatchSecret(const void *data, size_t n);
void WatchSecret(const char *text);
// Watches the key CryptDeriveKey makes from material for a 3DES or AES-256
// key algorithm (the raw bytes: SHA-1 of material through the two pads).
void WatchDerivedKey(const void *material, size_t n, ALG_ID algorithm);
// Watches an application's secret key, the 64-byte block stored for it and
// the 3DES and AES-256 keys derived from that block.
void WatchSecretKey(const char *secretKey);

// A file of the shared test data (the reference vectors) or of the fixtures
// made at configure time, in the form this platform's fopen takes.
std::string TestDataPath(const std::string &name);
// A Linux path as this platform's file functions take it (Z:\... under Wine).
std::string NativePath(const std::string &unixPath);
std::string FixturePath(const std::string &name);
std::string ReadFile(const std::string &path);

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The state root on Linux (empty on Windows).
  const std::string &root() const { return root_; }

 private:
  std::string root_;
};

// Removes every key of the product from the registry (and, on Linux, the
// state root's files), and detaches the library state.
void ResetStore();

// The registry values an installation provides: the administrator password's
// digest and the installation number, one at a time or both.
void ProvisionAdminPassword(const char *password);
void SetInstallationNumber(DWORD number);
void ProvisionInstallation(const char *adminPassword, DWORD installationNumber);
LSTATUS DeleteValue(const char *path, const char *name);
// Raw access for checks: the stored bytes of a value, or an error.
LSTATUS ReadRawValue(const char *path, const char *name, Bytes *data, DWORD *type = nullptr);
LSTATUS WriteRawValue(const char *path, const char *name, DWORD type, const Bytes &data);
bool KeyExists(const char *path);
// The registry path of an application's key, and whether it holds a setting.
std::string ApplicationPath(const char *application);
bool HasSetting(const char *application, const Setting &setting);

// Attaches the library state as a process whose executable is hostPath.
void AttachAs(const char *hostPath);
// Detaches and empties the caches, as a process that ends.
void Detach();

// A BIR whose biometric data is data's bytes (it points into data), every
// other field 0.
BioAPI_BIR BirOf(Bytes &data);

// A policy's response method record: the method and its key text (at most the
// record's 256 bytes, unterminated when it fills them), every other byte 0.
ResponseMethodRecord ResponseMethod(uint32_t method, const char *keyText = "");

// As an administrator's process: application in mode 4, both policies (rate
// ceiling 1000, 3 failures, 1 minute, flag 0) answering with verify and
// identify, and the certificate of issuer and serial (as CryptoAPI holds them)
// its end-user certificate; then the process runs as hostPath.
void ProvisionChallenges(const char *application, const char *adminPassword, const ResponseMethodRecord &verify,
                         const ResponseMethodRecord &identify, const Bytes &issuer, const Bytes &serial,
                         const char *hostPath);

// The attached host's lockout record of one family, read as the library reads
// it: status is ERROR_SUCCESS when both values were read, else the first
// failing read's code.
struct LockoutRecord {
  uint32_t status;
  int32_t failureCount;
  int64_t releaseTime;
};
LockoutRecord ReadLockout(const PolicyFamily &family);

// Runs program with arguments and waits for it: its exit code, or -1 when it
// could not be run or did not exit by itself (within a minute on Windows).
int RunAndWait(const std::string &program, const std::vector<std::string> &arguments);

// Puts the reference signer and the long-issuer signer (each with its private
// key) and the keyless certificate into the "ROOT" store.
void InstallTestCertificates();

// The DER of the first certificate of a PEM text, and the issuer name DER and
// serial number (least significant byte first, as CryptoAPI holds it) read
// from a certificate's DER.
Bytes PemCertificateToDer(const std::string &pem);
void IssuerAndSerialOf(const Bytes &certificateDer, Bytes *issuer, Bytes *serialLittleEndian);

// The reason the running test is in the named list of cases where Wine
// answers differently from Windows, when running under Wine; else null.
const char *WineDifferenceReason();
bool UnderWine();

// Skips the running test under Wine when Wine is known to differ for it.
#define AMBER_SKIP_IF_WINE_DIFFERS()                                              \
  do {                                                                            \
    if (const char *reason_ = ::ambercrypt::test::WineDifferenceReason()) GTEST_SKIP() << reason_; \
  } while (0)

// An address no memory is mapped at (a page reserved and never made usable),
// for probes that must answer rather than fault.
void *InaccessibleAddress();

#if defined(__linux__)
// The mappings of this process as /proc/self/smaps lists them: range,
// whether private and writable, and whether left out of core dumps (its
// VmFlags carry dd).
struct MemoryMapping {
  uintptr_t begin, end;
  bool privateWritable, dontDump;
};
std::vector<MemoryMapping> MemoryMappings();
// Whether the mapping that holds p is left out of core dumps.
bool LeftOutOfCoreDumps(const void *p);
#endif

// RAII: a temporary ordinary file under a temporary directory.
std::string TempDirectory();
void RemoveTree(const std::string &path);

}  // namespace ambercrypt::test

#endif  // AMBERCRYPT_TESTS_SUPPORT_TEST_SUPPORT_H_
