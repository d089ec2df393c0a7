#include "fuzz/fuzz_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <set>
#include <sstream>

#include "core/pending_outcome.h"
#include "crypto/ccrypt.h"
#include "frame/entry.h"
#include "platform/win32_api.h"
#include "policy/clock.h"
#include "store/caches.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

#if !defined(_WIN32)
#include "platform/posix/registry_tool.h"
#endif

#ifndef AMBERCRYPT_FUZZ_DATA_DIR
#error "AMBERCRYPT_FUZZ_DATA_DIR names tests/data"
#endif

namespace ambercrypt::fuzz {
namespace {

constexpr char kAdminHost[] = "/opt/fuzz/AdminTool";
constexpr char kHostPath[] = "/opt/fuzz/FuzzHost";
constexpr char kRootPrefix[] = "ambercrypt-fuzz-";
constexpr uint32_t kMaxBir = 8192;

std::string g_root;
uint64_t g_now = kFuzzEpoch;
bool g_ready = false;
// Applications other than the three whose settings an input made; removed
// again by Reprovision.
std::set<std::string> g_madeApplications;
bool g_dirty = false;

// The candidates given to identify updates. The library keeps the reference
// an update was given and reads the array through it when a challenge comes,
// for as long as that update's outcome is pending: also after a later update
// was refused (which leaves the earlier outcome pending) and for every
// application a sequence addressed. So each update gets a list of its own
// that nothing changes, kept until ResetHostState forgets every pending
// outcome.
struct CandidateList {
  std::vector<BioAPI_CANDIDATE> candidates;
  std::vector<uint32_t> indexes;
  BioAPI_CANDIDATE *array = nullptr;
};
std::list<CandidateList> g_candidateLists;

std::vector<uint8_t> g_signerIssuer, g_signerSerial;
IssuerSerial g_signerId{};

uint64_t FuzzClock() { return g_now; }

[[noreturn]] void Die(const char *what) {
  fprintf(stderr, "fuzz store: %s (%s)\n", what, strerror(errno));
  abort();
}

int RemoveEntry(const char *path, const struct stat *, int type, struct FTW *) {
  return type == FTW_DP ? rmdir(path) : unlink(path);
}

// Removes a root this program made (its name says so), never following a link.
void RemoveTree(const std::string &path) {
  if (path.find(kRootPrefix) == std::string::npos) return;
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void RemoveRoot() {
  // Only the process that made the root removes it (a forked child shares
  // the atexit list).
  static const pid_t owner = getpid();
  if (!g_root.empty() && getpid() == owner) {
    ProcessDetach();
    RemoveTree(g_root);
    g_root.clear();
  }
}

std::string TempBase() {
  if (const char *dir = getenv("AMBERCRYPT_FUZZ_TMPDIR"); dir != nullptr && *dir != '\0') return dir;
  // Memory-backed when there is one: the store syncs every write.
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  if (const char *dir = getenv("TMPDIR"); dir != nullptr && *dir != '\0') return dir;
  return "/tmp";
}

// Roots left by fuzz processes of this account that died without their
// exit handlers (a crash): ambercrypt-fuzz-<pid>-XXXXXX with no such process.
void RemoveStaleRoots(const std::string &base) {
  DIR *d = opendir(base.c_str());
  if (d == nullptr) return;
  std::vector<std::string> stale;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name.compare(0, strlen(kRootPrefix), kRootPrefix) != 0) continue;
    long pid = strtol(name.c_str() + strlen(kRootPrefix), nullptr, 10);
    std::string path = base + "/" + name;
    struct stat st;
    if (pid <= 0 || lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) continue;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(path);
  }
  closedir(d);
  for (const std::string &path : stale) RemoveTree(path);
}

std::string ReadWhole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.good()) Die(("cannot read " + path).c_str());
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteWhole(const std::string &path, const std::string &bytes, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) || close(fd) != 0) {
    Die(("cannot write " + path).c_str());
  }
}

void LoadSignerId() {
  std::string pem = ReadWhole(std::string(AMBERCRYPT_FUZZ_DATA_DIR) + "/signer.cert.pem");
  BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509 *cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (cert == nullptr) Die("cannot read the signer certificate");
  unsigned char *der = nullptr;
  int n = i2d_X509_NAME(X509_get_issuer_name(cert), &der);
  if (n <= 0) Die("cannot encode the issuer");
  g_signerIssuer.assign(der, der + n);
  OPENSSL_free(der);
  const ASN1_INTEGER *serial = X509_get0_serialNumber(cert);
  g_signerSerial.assign(serial->data, serial->data + serial->length);
  std::reverse(g_signerSerial.begin(), g_signerSerial.end());
  // As DER holds it: a leading zero keeps a high bit from reading as a sign.
  if (!g_signerSerial.empty() && g_signerSerial.back() >= 0x80) g_signerSerial.push_back(0);
  X509_free(cert);
  g_signerId.Issuer = {static_cast<uint32_t>(g_signerIssuer.size()), g_signerIssuer.data()};
  g_signerId.SerialNumber = {static_cast<uint32_t>(g_signerSerial.size()), g_signerSerial.data()};
}

void Require(uint32_t code, const char *what) {
  if (code != AMBER_OK) {
    fprintf(stderr, "fuzz store: %s answered 0x%x\n", what, code);
    abort();
  }
}

ResponseMethodRecord Method(uint32_t method, const char *keyText) {
  ResponseMethodRecord r;
  memset(&r, 0, sizeof r);
  r.method = method;
  if (keyText != nullptr) strncpy(r.keyText, keyText, sizeof r.keyText - 1);
  return r;
}

// The values the installation provides: the administrator password's
// digest, the installation number, a BSP whose module is the three bytes "abc".
void ProvisionInstallation() {
  {
    CRegCtrl reg;
    if (!reg.Open(kBaseKeyPath, 1, KEY_ALL_ACCESS)) Die("cannot make the base key");
    uint8_t digest[20];
    uint32_t length = sizeof digest;
    CCrypt crypt;
    if (crypt.Hash(reinterpret_cast<const uint8_t *>(kPassword), static_cast<uint32_t>(strlen(kPassword)), digest,
                   &length) != 0 ||
        reg.SetBinary(settings::kAdminPasswordDigest.name, digest, sizeof digest) != 0 ||
        reg.SetDword(settings::kInstallationNumber.name, 4321) != 0) {
      Die("cannot provision the installation");
    }
  }
  // A BSP whose module is the three bytes "abc".
  std::string module = g_root + "/bsp-module.so";
  WriteWhole(module, "abc", 0644);
  {
    std::string key = std::string(kBspKeyPath) + "{00112233-4455-6677-8899-aabbccddeeff}";
    HKEY h = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &h, nullptr) != ERROR_SUCCESS ||
        RegSetValueExA(h, "path", 0, REG_SZ, reinterpret_cast<const BYTE *>(module.c_str()),
                       static_cast<DWORD>(module.size() + 1)) != ERROR_SUCCESS) {
      Die("cannot register the BSP");
    }
    RegCloseKey(h);
  }
}

// From nothing: whatever an input wrote for the three applications goes with
// their keys.
void ProvisionApplications() {
  KoBioSPI_DeleteParameter(kHostName);
  KoBioSPI_DeleteParameter(kKioskName);
  KoBioSPI_DeleteParameter(kStrangerName);
  Require(KoBioSPI_RestrictBSPFunction(kHostName, 4, 0, kPassword), "restrict host");
  Require(KoBioSPI_InitSecretKey(kHostName, AMBER_CALG_AES_256, kSecretKey, kPassword), "host secret key");
  Require(KoBioSPI_InitVerifyParameter(kHostName, 1000, 3, 5, 1, Method(AMBER_RESPONSE_HMAC, kKeyText), kPassword),
          "host verify policy");
  Require(KoBioSPI_InitIdentifyParameter(kHostName, 1000, 3, 5, 1, Method(AMBER_RESPONSE_SIGNATURE, nullptr),
                                         kPassword),
          "host identify policy");
  Require(KoBioSPI_InitCerfificate(kHostName, &g_signerId, kPassword), "host certificate");
  Require(KoBioSPI_SetEndUserParameter(kHostName, &g_signerId), "host end-user certificate");
  Require(KoBioSPI_RestrictBSPFunction(kKioskName, 4, 0, kPassword), "restrict kiosk");
  Require(KoBioSPI_InitSecretKey(kKioskName, AMBER_CALG_3DES, kSecretKey, kPassword), "kiosk secret key");
  Require(KoBioSPI_RestrictBSPFunction(kKioskName, 5, 0x1DDC, kPassword), "kiosk custom mode");
}

bool IsKnownApplication(const char *name) {
  return strcmp(name, kHostName) == 0 || strcmp(name, kKioskName) == 0 || strcmp(name, kStrangerName) == 0;
}

// Notes that an administration call wrote settings of an application.
void NoteWrite(const char *name, uint32_t code) {
  if (code != AMBER_OK) return;
  g_dirty = true;
  if (name != nullptr && !IsKnownApplication(name)) g_madeApplications.insert(name);
}

}  // namespace

const std::string &StoreRoot() { return g_root; }
const IssuerSerial &SignerId() { return g_signerId; }

void SetClock(uint64_t fileTime) { g_now = fileTime; }
uint64_t Clock() { return g_now; }

void SetUpStore() {
  if (g_ready) return;
  std::string base = TempBase();
  RemoveStaleRoots(base);
  // The process number at a fixed width: the path's length then never
  // changes what the library's loops over it do (a fixed seed's run stays
  // the same run).
  char pid[16];
  snprintf(pid, sizeof pid, "%010ld", static_cast<long>(getpid()));
  std::string pattern = base + "/" + kRootPrefix + pid + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) Die("cannot make the state root");
  g_root = buffer.data();
  if (setenv("AMBERCRYPT_ROOT", g_root.c_str(), 1) != 0) Die("cannot set AMBERCRYPT_ROOT");
  atexit(RemoveRoot);
  LoadSignerId();

  ProcessDetach();
  SetClockForTesting(FuzzClock);
  // "ROOT": the reference signer with its key.
  std::string certs = g_root + "/certs";
  if (mkdir(certs.c_str(), 0755) != 0 || mkdir((certs + "/ROOT").c_str(), 0755) != 0) Die("cannot make certs/ROOT");
  WriteWhole(certs + "/ROOT/signer.pem", ReadWhole(std::string(AMBERCRYPT_FUZZ_DATA_DIR) + "/signer.cert.pem"), 0644);
  WriteWhole(certs + "/ROOT/signer.key", ReadWhole(std::string(AMBERCRYPT_FUZZ_DATA_DIR) + "/signer.key.pem"), 0600);
  ProvisionInstallation();
  ProcessAttach(nullptr, kAdminHost);
  ProvisionApplications();
  ProcessAttach(nullptr, kHostPath);
  g_ready = true;
  ResetHostState();
}

void Reprovision() {
  if (!g_dirty) return;
  for (const std::string &name : g_madeApplications) KoBioSPI_DeleteParameter(name.c_str());
  g_madeApplications.clear();
  ProvisionApplications();
  // The host's caches start again from the stored values, as a restarted
  // host's would.
  ProcessAttach(nullptr, kHostPath);
  g_dirty = false;
}

uint32_t StoreChangeCounter() {
  uint8_t header[28] = {};
  int fd = open((g_root + "/registry.db").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    (void)!pread(fd, header, sizeof header, 0);
    close(fd);
  }
  return (uint32_t{header[24]} << 24) | (uint32_t{header[25]} << 16) | (uint32_t{header[26]} << 8) | header[27];
}

void RestoreInstallation() {
  std::vector<std::string> keys;
  posix::RegEnumSubkeys(HKEY_LOCAL_MACHINE, &keys);
  for (const std::string &key : keys) posix::RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
  ProvisionInstallation();
  g_madeApplications.clear();
  ProcessAttach(nullptr, kHostPath);  // the installation key again
  ProvisionApplications();
  ProcessAttach(nullptr, kHostPath);
  g_dirty = false;
  ResetHostState();
}

void ResetHostState() {
  g_now = kFuzzEpoch;
  if (AttachedFpiContext() == nullptr || AttachedFpiContext()->appKey() == nullptr) ProcessAttach(nullptr, kHostPath);
  const SettingStore &store = AttachedFpiContext()->store();
  {
    SettingStore::Key record = store.Open(SettingKey::kUserInfo, KEY_ALL_ACCESS, true);
    const uint8_t zeros[kDigestSize] = {};
    record.WriteInt(settings::kVerifyFailureCount, 0);
    record.WriteInt(settings::kIdentifyFailureCount, 0);
    record.WriteInt64(settings::kVerifyReleaseTime, 0);
    record.WriteInt64(settings::kIdentifyReleaseTime, 0);
    record.WriteInt(settings::kVerifyLastResult, 1);
    record.WriteInt(settings::kIdentifyLastResult, 1);
    record.WriteBytes(settings::kVerifyLastDigest, zeros, sizeof zeros);
  }
  // Every application's pending outcomes: a sequence may have left some for
  // the others (as a host restarted under their names).
  ForgetAllPendingOutcomes();
  // No outcome refers to them any more.
  g_candidateLists.clear();
  AddressApplication(kHostName);
}

void AddressApplication(const char *name) { KoBioSPI_RestrictBSPFunction(name, 0, 0, "not the password 1"); }

// ---- Arguments --------------------------------------------------------------

OwnedBir ReadBir(FuzzInput &in) {
  OwnedBir b;
  uint8_t selector = in.Byte();
  if ((selector & 7) == 7) {
    b.null = true;
    return b;
  }
  std::vector<uint8_t> header = in.Bytes(sizeof b.bir.Header);
  if (!header.empty()) memcpy(&b.bir.Header, header.data(), header.size());
  b.data = in.Blob(kMaxBir);
  b.bir.BiometricData.Length = static_cast<uint32_t>(b.data.size());
  b.bir.BiometricData.Data = b.data.empty() ? nullptr : b.data.data();
  if (b.data.empty() && (selector & 8)) b.bir.BiometricData.Length = in.Int<uint32_t>();  // a length, no buffer
  switch ((selector >> 4) % 3) {
    case 0:
      break;
    case 1:
      b.bir.SecurityBlock.Length = in.Int<uint32_t>();
      break;
    default:
      b.block = in.Blob(kMaxBir);
      b.bir.SecurityBlock.Length = static_cast<uint32_t>(b.block.size());
      b.bir.SecurityBlock.Data = b.block.empty() ? nullptr : b.block.data();
      break;
  }
  return b;
}

OwnedBir ReadOutputBir(FuzzInput &in, uint32_t dataAtLeast) {
  OwnedBir b;
  uint8_t selector = in.Byte();
  if ((selector & 7) == 7) {
    b.null = true;
    return b;
  }
  uint32_t capacity = in.Int<uint16_t>() % (kMaxBir + 64);
  if (selector & 8) {
    b.bir.BiometricData.Length = capacity;  // a null buffer: the size is asked
  } else {
    capacity = std::max(capacity, dataAtLeast);
    b.data.assign(capacity, 0xdd);
    b.bir.BiometricData.Length = capacity;
    b.bir.BiometricData.Data = b.data.empty() ? nullptr : b.data.data();
  }
  uint32_t blockCapacity = in.Int<uint16_t>() % 4096;
  if (selector & 16) {
    b.bir.SecurityBlock.Length = blockCapacity;
  } else {
    b.block.assign(blockCapacity, 0xcc);
    b.bir.SecurityBlock.Length = blockCapacity;
    b.bir.SecurityBlock.Data = b.block.empty() ? nullptr : b.block.data();
  }
  return b;
}

OwnedText MakeText(const std::string &s) {
  OwnedText t;
  t.text.assign(s.begin(), s.end());
  t.text.push_back('\0');
  return t;
}

OwnedText ReadText(FuzzInput &in, std::initializer_list<const char *> known, size_t maxLength) {
  uint8_t selector = in.Byte();
  if (selector == 0) {
    OwnedText t;
    t.null = true;
    return t;
  }
  if (selector <= known.size()) return MakeText(known.begin()[selector - 1]);
  if (selector == 255) return MakeText(std::string(in.Below(600), static_cast<char>('A' + in.Below(26))));
  return MakeText(in.Text(maxLength));
}

OwnedText ReadApplication(FuzzInput &in) { return ReadText(in, {kHostName, kKioskName, kStrangerName}); }
OwnedText ReadPassword(FuzzInput &in) { return ReadText(in, {kPassword}); }

OwnedIssuerSerial ReadIssuerSerial(FuzzInput &in) {
  OwnedIssuerSerial o;
  uint8_t selector = in.Byte();
  switch (selector % 6) {
    case 0:
      o.null = true;
      return o;
    case 1:
      o.issuer = g_signerIssuer;
      o.serial = g_signerSerial;
      break;
    case 2:  // the signer with a byte changed
      o.issuer = g_signerIssuer;
      o.serial = g_signerSerial;
      if (selector & 0x80) {
        o.issuer[in.Below(static_cast<uint32_t>(o.issuer.size()))] ^= static_cast<uint8_t>(1 + in.Below(255));
      } else {
        o.serial[in.Below(static_cast<uint32_t>(o.serial.size()))] ^= static_cast<uint8_t>(1 + in.Below(255));
      }
      break;
    case 3:  // the signer's serial with insignificant high bytes
      o.issuer = g_signerIssuer;
      o.serial = g_signerSerial;
      o.serial.resize(o.serial.size() + 1 + in.Below(4), o.serial.back() >= 0x80 ? 0xff : 0x00);
      break;
    case 4:
      o.issuer = in.Blob(1024);
      o.serial = in.Blob(64);
      break;
    default:  // lengths without buffers
      o.id.Issuer.cbData = in.Int<uint32_t>();
      o.id.SerialNumber.cbData = in.Int<uint32_t>();
      if (selector & 0x40) {
        o.issuer = g_signerIssuer;
        o.id.Issuer = {static_cast<uint32_t>(o.issuer.size()), o.issuer.data()};
      }
      return o;
  }
  o.id.Issuer = {static_cast<uint32_t>(o.issuer.size()), o.issuer.empty() ? nullptr : o.issuer.data()};
  o.id.SerialNumber = {static_cast<uint32_t>(o.serial.size()), o.serial.empty() ? nullptr : o.serial.data()};
  return o;
}

ResponseMethodRecord ReadResponseMethod(FuzzInput &in) {
  ResponseMethodRecord r;
  memset(&r, 0, sizeof r);
  uint8_t selector = in.Byte();
  switch (selector % 4) {
    case 0:
      r.method = AMBER_RESPONSE_SIGNATURE;
      break;
    case 1:
    case 2:
      r.method = AMBER_RESPONSE_HMAC;
      break;
    default:
      r.method = in.Int<uint32_t>();
      break;
  }
  switch ((selector >> 2) % 4) {
    case 0:
      strcpy(r.keyText, kKeyText);
      break;
    case 1:  // no terminator anywhere in the record
      memset(r.keyText, 'K', sizeof r.keyText);
      break;
    default: {
      std::vector<uint8_t> text = in.Blob(sizeof r.keyText);
      if (!text.empty()) memcpy(r.keyText, text.data(), text.size());
      break;
    }
  }
  return r;
}

namespace {

template <typename Owned>
void ReadResponseBuffer(FuzzInput &in, Owned &o) {
  uint8_t selector = in.Byte();
  if ((selector & 7) == 7) {
    o.null = true;
    return;
  }
  // The record's output fields start as garbage a caller might leave.
  std::vector<uint8_t> junk = in.Bytes(8);
  if (!junk.empty()) memcpy(&o.record, junk.data(), junk.size());
  uint32_t capacity = in.Int<uint16_t>() % 4096;
  o.record.responseLength = capacity;
  if (selector & 8) {
    o.record.responseData = nullptr;  // the size is asked
  } else {
    o.response.assign(capacity, 0xee);
    o.record.responseData = o.response.empty() ? nullptr : o.response.data();
  }
}

}  // namespace

OwnedVerifyChallenge ReadVerifyChallengeRecord(FuzzInput &in) {
  OwnedVerifyChallenge o;
  ReadResponseBuffer(in, o);
  return o;
}

OwnedIdentifyChallenge ReadIdentifyChallengeRecord(FuzzInput &in) {
  OwnedIdentifyChallenge o;
  ReadResponseBuffer(in, o);
  return o;
}

// ---- The exports ------------------------------------------------------------

namespace {

// A candidate list and its count: a count of the array's size, or a count
// with the top bit set (negative: naming none), or a null array.
BioAPI_CANDIDATE **ReadCandidates(FuzzInput &in, uint32_t *count) {
  uint8_t selector = in.Byte();
  size_t n = selector % 8;
  CandidateList &list = g_candidateLists.emplace_back();
  list.candidates.assign(n, BioAPI_CANDIDATE{});
  list.indexes.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    list.indexes[i] = in.Int<uint32_t>();
    list.candidates[i].BIRInArray = (selector & 0x40) && i == 0 ? nullptr : &list.indexes[i];
    list.candidates[i].FMRAchieved = in.Int<int32_t>();
  }
  list.array = list.candidates.empty() ? nullptr : list.candidates.data();
  *count = (selector & 8) ? 0x80000000u | in.Int<uint32_t>() : static_cast<uint32_t>(n);
  return &list.array;
}

// A pending verify outcome of the host (or none), as the framework would
// leave one before a challenge.
void MaybeRecordOutcomes(FuzzInput &in) {
  uint8_t selector = in.Byte();
  if (selector & 1) {
    OwnedBir b = ReadBir(in);
    KoBioFPI_UpdateVerifyStatus(static_cast<uint8_t>((selector >> 1) & 1), b.get(), in.Int<int32_t>(), in.Byte());
  }
  if (selector & 4) {
    uint32_t count = 0;
    BioAPI_CANDIDATE **candidates = ReadCandidates(in, &count);
    KoBioFPI_UpdateIdentifyStatus(&count, candidates, in.Byte());
  }
}

// The host's lockout state before a check: a failed outcome to repeat and a
// failure count, or a lock that has or has not run out.
void MaybeSetLockout(FuzzInput &in, bool verify, const BioAPI_BIR *bir) {
  uint8_t selector = in.Byte();
  if ((selector & 3) == 0) return;
  if (verify) {
    KoBioFPI_UpdateVerifyStatus(0, bir, 0, 0);
  } else {
    uint32_t count = 0;  // names no candidates: the library keeps no reference
    BioAPI_CANDIDATE *none = nullptr;
    KoBioFPI_UpdateIdentifyStatus(&count, &none, 0);
  }
  SettingStore::Key record = AttachedFpiContext()->store().Open(SettingKey::kUserInfo, KEY_ALL_ACCESS);
  record.WriteInt(verify ? settings::kVerifyFailureCount : settings::kIdentifyFailureCount, (selector >> 2) % 4);
  if (selector & 0x40) {
    int64_t release = static_cast<int64_t>(g_now) + (static_cast<int64_t>(in.Int<int16_t>()) * 600000000);
    record.WriteInt64(verify ? settings::kVerifyReleaseTime : settings::kIdentifyReleaseTime, release);
  }
}

}  // namespace

uint32_t CallExport(int which, FuzzInput &in) {
  switch (which) {
    case 1:
      return KoBioFPI_CheckMode(in.Int<uint32_t>());
    case 2:
    case 3: {
      OwnedBir input = ReadBir(in);
      uint8_t selector = in.Byte();
      OwnedBir output = ReadOutputBir(in);
      // The same record as input and output, as a caller may pass it.
      BioAPI_BIR *out = (selector & 0x0f) == 0x0f ? input.get() : output.get();
      return which == 2 ? KoBioFPI_DecryptBIR(input.get(), out) : KoBioFPI_EncryptBIR(input.get(), out);
    }
    case 4: {
      MaybeSetLockout(in, false, nullptr);
      uint8_t selector = in.Byte();
      int32_t requested = in.Int<int32_t>();
      int32_t allowed = 0;
      uint8_t flag = 0;
      uint8_t reserved[16] = {};
      return KoBioFPI_IdentifySecurityStatas((selector & 1) ? reserved : nullptr, requested,
                                             (selector & 2) ? nullptr : &allowed, (selector & 4) ? nullptr : &flag);
    }
    case 5: {
      uint8_t selector = in.Byte();
      uint32_t count = 0;
      BioAPI_CANDIDATE **list = ReadCandidates(in, &count);
      if (selector & 2) list = nullptr;
      return KoBioFPI_UpdateIdentifyStatus((selector & 1) ? nullptr : &count, list, in.Byte());
    }
    case 6: {
      uint8_t result = in.Byte();
      OwnedBir bir = ReadBir(in);
      int32_t fmr = in.Int<int32_t>();
      return KoBioFPI_UpdateVerifyStatus(result, bir.get(), fmr, in.Byte());
    }
    case 7: {
      OwnedBir bir = ReadBir(in);
      MaybeSetLockout(in, true, bir.get());
      uint8_t selector = in.Byte();
      int32_t requested = in.Int<int32_t>();
      int32_t allowed = 0;
      uint8_t flag = 0;
      return KoBioFPI_VerifySecurityStatas(bir.get(), requested, (selector & 2) ? nullptr : &allowed,
                                           (selector & 4) ? nullptr : &flag);
    }
    case 8: {
      OwnedText name = ReadApplication(in);
      uint32_t code = KoBioSPI_DeleteParameter(name.get());
      NoteWrite(name.get(), code);
      return code;
    }
    case 9: {
      OwnedText name = ReadApplication(in);
      if (!name.null) AddressApplication(name.get());
      OwnedBir input = ReadBir(in);
      // The signed record's data buffer holds the input's data, as the
      // caller must size it (the library cannot see its capacity).
      OwnedBir output = ReadOutputBir(in, static_cast<uint32_t>(input.data.size()));
      return KoBioSPI_DigitalSignBIR(input.get(), output.get());
    }
    case 10: {
      OwnedText name = ReadApplication(in);
      if (!name.null) AddressApplication(name.get());
      MaybeRecordOutcomes(in);
      OwnedText challenge = ReadText(in, {kChallenge});
      OwnedIdentifyChallenge record = ReadIdentifyChallengeRecord(in);
      return KoBioSPI_IdentifyChallenge(challenge.get(), record.get());
    }
    case 11:
    case 16: {
      OwnedText name = ReadApplication(in);
      OwnedIssuerSerial id = ReadIssuerSerial(in);
      uint32_t code;
      if (which == 11) {
        OwnedText password = ReadPassword(in);
        code = KoBioSPI_InitCerfificate(name.get(), id.get(), password.get());
      } else {
        code = KoBioSPI_SetEndUserParameter(name.get(), id.get());
      }
      NoteWrite(name.get(), code);
      return code;
    }
    case 12:
    case 14: {
      OwnedText name = ReadApplication(in);
      int32_t maxFmr = in.Int<int32_t>();
      int32_t maxFailures = in.Int<int32_t>();
      int32_t lockMinutes = in.Int<int32_t>();
      uint8_t flag = in.Byte();
      ResponseMethodRecord method = ReadResponseMethod(in);
      OwnedText password = ReadPassword(in);
      uint32_t code = which == 12 ? KoBioSPI_InitIdentifyParameter(name.get(), maxFmr, maxFailures, lockMinutes, flag,
                                                                   method, password.get())
                                  : KoBioSPI_InitVerifyParameter(name.get(), maxFmr, maxFailures, lockMinutes, flag,
                                                                 method, password.get());
      NoteWrite(name.get(), code);
      return code;
    }
    case 13: {
      OwnedText name = ReadApplication(in);
      uint8_t selector = in.Byte();
      uint32_t algorithm = selector % 3 == 0   ? AMBER_CALG_AES_256
                           : selector % 3 == 1 ? AMBER_CALG_3DES
                                               : in.Int<uint32_t>();
      OwnedText key = ReadText(in, {kSecretKey});
      OwnedText password = ReadPassword(in);
      uint32_t code = KoBioSPI_InitSecretKey(name.get(), algorithm, key.get(), password.get());
      NoteWrite(name.get(), code);
      return code;
    }
    case 15: {
      OwnedText name = ReadApplication(in);
      uint32_t mode = in.Int<uint32_t>();
      uint32_t mask = in.Int<uint32_t>();
      OwnedText password = ReadPassword(in);
      uint32_t code = KoBioSPI_RestrictBSPFunction(name.get(), mode, mask, password.get());
      NoteWrite(name.get(), code);
      return code;
    }
    case 17: {
      uint8_t selector = in.Byte();
      std::vector<uint8_t> uuid;
      if (selector % 3 == 1) {
        uuid.assign(kBspUuid, kBspUuid + sizeof kBspUuid);
      } else if (selector % 3 == 2) {
        uuid = in.Bytes(sizeof(BioAPI_UUID));
        uuid.resize(sizeof(BioAPI_UUID));
      }
      OwnedText digest = ReadText(in, {kBspDigest});
      return KoBioSPI_VerifyBSP(uuid.empty() ? nullptr : reinterpret_cast<const BioAPI_UUID *>(uuid.data()),
                                digest.get());
    }
    case 18: {
      OwnedText name = ReadApplication(in);
      if (!name.null) AddressApplication(name.get());
      MaybeRecordOutcomes(in);
      OwnedText challenge = ReadText(in, {kChallenge});
      OwnedVerifyChallenge record = ReadVerifyChallengeRecord(in);
      return KoBioSPI_VerifyChallenge(challenge.get(), record.get());
    }
    case 19: {
      OwnedText name = ReadApplication(in);
      if (!name.null) AddressApplication(name.get());
      OwnedBir bir = ReadBir(in);
      return KoBioSPI_VerifyReferenceBIR(bir.get());
    }
    default:
      return AMBER_OK;
  }
}

void CheckCode(int which, uint32_t code) {
  if (code == AMBER_OK || code == AMBER_NOT_INITIALISED) return;
  if (which == 9 && code == AMBER_SIGN_NULL_OUTPUT) return;
  uint32_t internal = code & ~AMBER_ERROR_FLAG;
  if ((code & AMBER_ERROR_FLAG) && internal >= 2049 && internal <= 2078 && internal != 2056) return;
  fprintf(stderr, "export %d answered 0x%x, not a code of the library\n", which, code);
  abort();
}

}  // namespace ambercrypt::fuzz
