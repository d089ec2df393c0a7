// ambercrypt-bench: times the library's hot paths, each beside a baseline
// measured in the same run, in a store of its own.
//
//   ambercrypt-bench [--rounds N] [--quick] [--json] [--windows FILE]
//
// Paths and baselines (medians of N calls, microseconds):
//   EncryptBIR/DecryptBIR, 1 KiB and 64 KiB, AES-256 and 3DES
//       against OpenSSL's EVP doing the same SHA-1, key derivation and CBC
//       on the same bytes (the bench checks that the ciphertexts are equal);
//   CheckMode against a lookup in a std::map of the same size;
//   registry open+query and durable set against SQLite's own prepared
//       SELECT/UPDATE on the same file;
//   the verify road (a check and an update; common path, common path with a
//       method-40 challenge, failure path) against the Windows build under
//       Wine: give its --json output with
//       --windows (scripts/bench.sh runs both);
//   attach (a new process loading the library) with 1, 100 and 10,000
//       applications in the store against attach with 1;
//   2 processes encrypting at once against 1 (throughput).
// OpenSSL and SQLite baselines and the 2-process run exist on Linux only; the
// Windows build prints its own figures. --quick makes every count tiny (the
// test command runs it so, to prove it works; it asserts no timing).
//
// On Linux the store is a temporary state root (the attach scaling one on
// /dev/shm when it exists, so that provisioning 10,000 applications does not
// wait for the disk); on Windows it is the machine's registry, under the
// product's key, which must not exist yet and is removed afterwards.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "crypto/ccrypt.h"
#include "frame/entry.h"
#include "platform/win32_api.h"
#include "store/caches.h"
#include "store/constants.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

#if !defined(_WIN32)
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
const char kPassword[] = "Bench-Passw0rd";
const char kProductKey[] = "SOFTWARE\\Dravelo";
const char kSecretText[] = "Bench-Secret-Key-7";

struct Row {
  std::string id;    // for --json and --windows
  std::string path;  // what the library does
  double us = -1;
  std::string baseline;
  double baseUs = -1;
};

bool Provision() {
  ambercrypt::CCrypt crypt;
  uint8_t digest[20];
  uint32_t length = sizeof digest;
  if (crypt.Hash(reinterpret_cast<const uint8_t *>(kPassword), static_cast<uint32_t>(strlen(kPassword)), digest,
                 &length) != ERROR_SUCCESS) {
    return false;
  }
  ambercrypt::CRegCtrl reg;
  return reg.Open(ambercrypt::kBaseKeyPath, 1, KEY_ALL_ACCESS) &&
         reg.SetBinary(ambercrypt::settings::kAdminPasswordDigest.name, digest, sizeof digest) == ERROR_SUCCESS &&
         reg.SetDword(ambercrypt::settings::kInstallationNumber.name, 2718) == ERROR_SUCCESS;
}

void RemoveStore(const std::string &root) {
#if defined(_WIN32)
  (void)root;
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProductKey);
#else
  if (root.empty()) return;
  std::string command = "rm -rf '" + root + "'";
  (void)!std::system(command.c_str());
#endif
}

// A fresh store, provisioned, with AMBERCRYPT_ROOT pointing at it on Linux.
bool NewStore(std::string *root, const char *under) {
#if defined(_WIN32)
  (void)under;
  root->clear();
  HKEY existing = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &existing) == ERROR_SUCCESS) {
    RegCloseKey(existing);
    std::fprintf(stderr, "HKLM\\%s exists: run the benchmark where nothing is installed\n", kProductKey);
    return false;
  }
#else
  std::string pattern = std::string(under) + "/ambercrypt-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return false;
  *root = pattern;
  setenv("AMBERCRYPT_ROOT", root->c_str(), 1);
#endif
  if (Provision()) return true;
  std::fprintf(stderr, "cannot provision a store\n");
  RemoveStore(*root);
  return false;
}

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples.empty() ? -1 : samples[samples.size() / 2];
}

// The median of rounds samples of batch calls each, per call; -1 when a call fails.
double Time(int rounds, const std::function<bool()> &body, int batch = 1) {
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    for (int j = 0; j < batch; ++j) {
      if (!body()) return -1;
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / batch);
  }
  return Median(samples);
}

void Attach(const char *application) {
  std::string host = std::string("C:\\Apps\\") + application + ".EXE";
  ambercrypt::ProcessAttach(nullptr, host.c_str());
}

bool Restrict(const std::string &application) {
  return KoBioSPI_RestrictBSPFunction(application.c_str(), 4, 0, kPassword) == 0;
}

BioAPI_BIR MakeBir(std::vector<uint8_t> &data) {
  BioAPI_BIR bir;
  memset(&bir, 0, sizeof bir);
  bir.BiometricData.Length = static_cast<uint32_t>(data.size());
  bir.BiometricData.Data = data.data();
  return bir;
}

#if !defined(_WIN32)
// What EncryptBIR does, with OpenSSL alone: SHA-1 of the 64-byte key block,
// CryptoAPI's derivation of a longer key from it (SHA-1 over the digest XORed
// into 64 bytes of 0x36, then of 0x5C), CBC with PKCS#7 padding, the IV the
// first block of the IV material.
bool RawCipher(bool encrypt, uint32_t algorithm, const uint8_t *block, const std::vector<uint8_t> &in,
               std::vector<uint8_t> *out) {
  uint8_t digest[20], derived[40];
  unsigned int n = 0;
  if (EVP_Digest(block, ambercrypt::kSecretKeyBlockSize, digest, &n, EVP_sha1(), nullptr) != 1) return false;
  for (int half = 0; half < 2; ++half) {
    uint8_t pad[64];
    memset(pad, half == 0 ? 0x36 : 0x5c, sizeof pad);
    for (int i = 0; i < 20; ++i) pad[i] ^= digest[i];
    if (EVP_Digest(pad, sizeof pad, derived + 20 * half, &n, EVP_sha1(), nullptr) != 1) return false;
  }
  const EVP_CIPHER *cipher = algorithm == AMBER_CALG_AES_256 ? EVP_aes_256_cbc() : EVP_des_ede3_cbc();
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  out->resize(in.size() + 16);
  int length = 0, last = 0;
  bool ok = ctx != nullptr &&
            EVP_CipherInit_ex(ctx, cipher, nullptr, derived, ambercrypt::CipherIv(), encrypt ? 1 : 0) == 1 &&
            EVP_CipherUpdate(ctx, out->data(), &length, in.data(), static_cast<int>(in.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, out->data() + length, &last) == 1;
  EVP_CIPHER_CTX_free(ctx);
  OPENSSL_cleanse(digest, sizeof digest);
  OPENSSL_cleanse(derived, sizeof derived);
  out->resize(ok ? static_cast<size_t>(length + last) : 0);
  return ok;
}
#endif

const char *CipherName(uint32_t algorithm) { return algorithm == AMBER_CALG_AES_256 ? "AES-256" : "3DES"; }

// EncryptBIR and DecryptBIR for one cipher and size, against OpenSSL.
bool CipherRows(uint32_t algorithm, size_t size, int rounds, std::vector<Row> *rows) {
  std::string application = std::string("Cipher") + (algorithm == AMBER_CALG_AES_256 ? "Aes" : "Des");
  Attach("Admin");
  if (!Restrict(application) || KoBioSPI_InitSecretKey(application.c_str(), algorithm, kSecretText, kPassword) != 0) {
    return false;
  }
  Attach(application.c_str());
  std::vector<uint8_t> plain(size), cipher(size + 64), back(size + 64);
  for (size_t i = 0; i < size; ++i) plain[i] = static_cast<uint8_t>(i * 7 + 1);
  BioAPI_BIR in = MakeBir(plain), out = MakeBir(cipher), dec = MakeBir(back);
  auto encrypt = [&] {
    out.BiometricData.Length = static_cast<uint32_t>(cipher.size());
    return KoBioFPI_EncryptBIR(&in, &out) == 0;
  };
  auto decrypt = [&] {
    dec.BiometricData.Length = static_cast<uint32_t>(back.size());
    return KoBioFPI_DecryptBIR(&out, &dec) == 0;
  };
  if (!encrypt() || !decrypt() || dec.BiometricData.Length != size || memcmp(back.data(), plain.data(), size) != 0) {
    return false;
  }
  std::vector<uint8_t> libraryCipher(cipher.begin(), cipher.begin() + out.BiometricData.Length);
  std::string label = std::string(CipherName(algorithm)) + (size >= 65536 ? " 64 KiB" : " 1 KiB");
  std::string id = std::string(algorithm == AMBER_CALG_AES_256 ? "aes256" : "3des") + (size >= 65536 ? "_64k" : "_1k");
  Row enc{"encrypt_" + id, "EncryptBIR " + label, Time(rounds, encrypt), "", -1};
  Row de{"decrypt_" + id, "DecryptBIR " + label, Time(rounds, decrypt), "", -1};
#if !defined(_WIN32)
  const auto block = ambercrypt::Caches().SecretKeyCache.Find(ambercrypt::AttachedFpiContext()->appKey());
  if (block == nullptr) return false;
  std::vector<uint8_t> raw, rawBack;
  if (!RawCipher(true, algorithm, block->data(), plain, &raw) || raw != libraryCipher ||
      !RawCipher(false, algorithm, block->data(), raw, &rawBack) || rawBack != plain) {
    std::fprintf(stderr, "the OpenSSL baseline does not do the library's work for %s\n", label.c_str());
    return false;
  }
  enc.baseline = de.baseline = "OpenSSL EVP, same work";
  enc.baseUs = Time(rounds, [&] { return RawCipher(true, algorithm, block->data(), plain, &raw); });
  de.baseUs = Time(rounds, [&] { return RawCipher(false, algorithm, block->data(), libraryCipher, &rawBack); });
#endif
  rows->push_back(enc);
  rows->push_back(de);
  return enc.us >= 0 && de.us >= 0;
}

bool CheckModeRow(int rounds, std::vector<Row> *rows) {
  Attach("Scanner");
  const char *appKey = ambercrypt::AttachedFpiContext()->appKey();
  if (appKey == nullptr || KoBioFPI_CheckMode(0x1) != 0) return false;
  // A map of as many entries as the library's mode cache holds.
  std::map<std::string, uint32_t> map;
  map[appKey] = 4;
  for (int i = 0; map.size() < ambercrypt::Caches().ModeCache.size(); ++i) map["other" + std::to_string(i)] = 4;
  volatile uint32_t sink = 0;
  Row row{"checkmode", "CheckMode", Time(rounds, [] { return KoBioFPI_CheckMode(0x1) == 0; }, 1000),
          "std::map lookup, " + std::to_string(map.size()) + " entries", -1};
  row.baseUs = Time(
      rounds,
      [&] {
        auto found = map.find(appKey);
        if (found == map.end()) return false;
        sink = sink + found->second;
        return true;
      },
      1000);
  rows->push_back(row);
  return row.us >= 0;
}

#if defined(_WIN32)
const char kWineColumn[] = "";  // this build is the other column
#else
const char kWineColumn[] = "Windows build under Wine";
#endif

bool VerifyRoadRows(int rounds, std::vector<Row> *rows) {
  Attach("Admin");
  ResponseMethodRecord method;
  memset(&method, 0, sizeof method);
  method.method = AMBER_RESPONSE_HMAC;
  std::snprintf(method.keyText, sizeof method.keyText, "%s", "Bench response key");
  if (KoBioSPI_InitVerifyParameter("Scanner", 1000, 2000000000, 1, 1, method, kPassword) != 0) return false;
  Attach("Scanner");
  std::vector<uint8_t> person(1024, 0x5a);
  BioAPI_BIR bir = MakeBir(person);
  int32_t allowed = 0;
  uint8_t flag = 0;
  if (KoBioFPI_UpdateVerifyStatus(1, &bir, 10, 50) != 0) return false;
  Row common{"verify_common", "verify road, common path", Time(rounds, [&] {
               return KoBioFPI_VerifySecurityStatas(&bir, 100, &allowed, &flag) == 0 &&
                      KoBioFPI_UpdateVerifyStatus(1, &bir, 10, 50) == 0;
             }),
             kWineColumn, -1};
  VerifyChallengeRecord record;
  uint8_t response[20];
  Row challenge{"verify_challenge", "verify road, common path + HMAC challenge", Time(rounds, [&] {
                  memset(&record, 0, sizeof record);
                  record.responseLength = sizeof response;
                  record.responseData = response;
                  return KoBioFPI_VerifySecurityStatas(&bir, 100, &allowed, &flag) == 0 &&
                         KoBioFPI_UpdateVerifyStatus(1, &bir, 10, 50) == 0 &&
                         KoBioSPI_VerifyChallenge("Bench7Challenge", &record) == 0;
                }),
                kWineColumn, -1};
  if (KoBioFPI_UpdateVerifyStatus(0, &bir, 10, 50) != 0) return false;
  Row failure{"verify_failure", "verify road, failure path", Time(rounds, [&] {
                return KoBioFPI_VerifySecurityStatas(&bir, 100, &allowed, &flag) == 0 &&
                       KoBioFPI_UpdateVerifyStatus(0, &bir, 10, 50) == 0;
              }),
              kWineColumn, -1};
  rows->push_back(common);
  rows->push_back(challenge);
  rows->push_back(failure);
  return common.us >= 0 && challenge.us >= 0 && failure.us >= 0;
}

#if !defined(_WIN32)
// The registry's open+query and durable set, against SQLite's own prepared
// statements on the same file (the value the registry reads and writes).
bool RegistryRows(const std::string &root, int rounds, std::vector<Row> *rows) {
  const std::string path = std::string(ambercrypt::kBaseKeyPath) + "BenchRegistry";
  {
    ambercrypt::CRegCtrl reg;
    if (!reg.Open(path.c_str(), 1, KEY_ALL_ACCESS) || reg.SetDword("v", 1) != ERROR_SUCCESS) return false;
  }
  auto openQuery = [&] {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD value = 0, size = sizeof value;
    LSTATUS status = RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
  };
  DWORD counter = 0;
  HKEY writable = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &writable) != ERROR_SUCCESS) return false;
  auto set = [&] {
    ++counter;
    return RegSetValueExA(writable, "v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&counter), sizeof counter) ==
           ERROR_SUCCESS;
  };
  Row query{"registry_open_query", "registry open + query", Time(rounds, openQuery), "SQLite prepared SELECT", -1};
  Row write{"registry_set", "registry set (durable)", Time(rounds, set), "SQLite prepared UPDATE", -1};
  RegCloseKey(writable);

  sqlite3 *db = nullptr;
  bool ok = sqlite3_open_v2((root + "/registry.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt *select = nullptr, *update = nullptr;
  const char *where = " WHERE fold = 'v' AND key = (SELECT max(id) FROM keys WHERE fold = 'benchregistry')";
  ok = ok &&
       sqlite3_prepare_v2(db, (std::string("SELECT data FROM vals") + where).c_str(), -1, &select, nullptr) ==
           SQLITE_OK &&
       sqlite3_prepare_v2(db, (std::string("UPDATE vals SET data = ?") + where).c_str(), -1, &update, nullptr) ==
           SQLITE_OK;
  if (ok) {
    query.baseUs = Time(rounds, [&] {
      bool row = sqlite3_step(select) == SQLITE_ROW;
      sqlite3_reset(select);
      return row;
    });
    write.baseUs = Time(rounds, [&] {
      ++counter;
      sqlite3_bind_blob(update, 1, &counter, sizeof counter, SQLITE_TRANSIENT);
      bool done = sqlite3_step(update) == SQLITE_DONE && sqlite3_changes(db) == 1;
      sqlite3_reset(update);
      return done;
    });
  }
  sqlite3_finalize(select);
  sqlite3_finalize(update);
  sqlite3_close(db);
  rows->push_back(query);
  rows->push_back(write);
  return ok && query.us >= 0 && write.us >= 0;
}

// Throughput of EncryptBIR (AES-256, 1 KiB) in 2 processes at once against 1.
bool TwoProcessRow(int calls, std::vector<Row> *rows) {
  auto run = [&](int processes) -> double {
    auto start = Clock::now();
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
      pid_t pid = fork();
      if (pid == 0) {
        Attach("CipherAes");
        std::vector<uint8_t> plain(1024, 0x33), cipher(1024 + 64);
        BioAPI_BIR in = MakeBir(plain), out = MakeBir(cipher);
        for (int i = 0; i < calls; ++i) {
          out.BiometricData.Length = static_cast<uint32_t>(cipher.size());
          if (KoBioFPI_EncryptBIR(&in, &out) != 0) _exit(1);
        }
        _exit(0);
      }
      if (pid < 0) return -1;
      children.push_back(pid);
    }
    bool ok = true;
    for (pid_t pid : children) {
      int status = 0;
      ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return ok ? processes * calls / seconds : -1;
  };
  // The best of three runs each: the figure is what the machine allows, not
  // what other work on it left over.
  double one = -1, two = -1;
  for (int i = 0; i < 3; ++i) {
    one = std::max(one, run(1));
    two = std::max(two, run(2));
  }
  // Throughput rows hold calls per second; the ratio is two over one.
  rows->push_back({"encrypt_2proc", "EncryptBIR AES-256 1 KiB, 2 processes (calls/s)", two,
                   "1 process (calls/s)", one});
  return one > 0 && two > 0;
}
#endif

// This program's own path, to run it again.
std::string SelfPath() {
#if defined(_WIN32)
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n > 0 && n < sizeof path ? std::string(path, n) : std::string();
#else
  std::string path(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", &path[0], path.size() - 1);
  return n > 0 ? path.substr(0, static_cast<size_t>(n)) : std::string();
#endif
}

// --time-attach: a fresh process attaching as "Scanner" prints how long it took.
int TimeAttach() {
  auto start = Clock::now();
  Attach("Scanner");
  double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  if (ambercrypt::AttachedFpiContext() == nullptr || ambercrypt::AttachedFpiContext()->appKey() == nullptr) return 1;
  std::printf("%.3f\n", us);
  return 0;
}

// The median time of attaching "Scanner" as a host loading the library does:
// in a new process each time (nothing of this one's caches or connection).
double ColdAttach(int rounds) {
  const std::string self = SelfPath();
  if (self.empty()) return -1;
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
#if defined(_WIN32)
    // cmd /c drops the outer pair of quotes: the quoted path needs one more.
    std::string command = "\"\"" + self + "\" --time-attach\"";
#else
    std::string command = "\"" + self + "\" --time-attach";
#endif
    FILE *child = popen(command.c_str(), "r");
    if (child == nullptr) return -1;
    double us = -1;
    bool read = std::fscanf(child, "%lf", &us) == 1;
    if (pclose(child) != 0 || !read || us < 0) return -1;
    samples.push_back(us);
  }
  return Median(samples);
}

// Attach of "Scanner" with more and more applications in the store.
bool AttachRows(int rounds, const std::vector<int> &counts, std::vector<Row> *rows) {
  Attach("Admin");
  int present = 1;  // Scanner
  double withOne = -1;
  for (int count : counts) {
    Attach("Admin");
    for (; present < count; ++present) {
      if (!Restrict("Filler" + std::to_string(present))) return false;
    }
    double us = ColdAttach(rounds);
    if (us < 0) return false;
    if (withOne < 0) withOne = us;
    rows->push_back({"attach_" + std::to_string(count), "attach, " + std::to_string(count) + " applications", us,
                     "attach, " + std::to_string(counts.front()) + " application(s)", withOne});
  }
  return true;
}

// The --json output of the Windows build: "id": value pairs.
std::map<std::string, double> ReadWindowsFigures(const char *file) {
  std::map<std::string, double> figures;
  FILE *f = fopen(file, "r");
  if (f == nullptr) return figures;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  fclose(f);
  for (size_t at = text.find("\"id\": \""); at != std::string::npos; at = text.find("\"id\": \"", at + 1)) {
    size_t end = text.find('"', at + 7);
    size_t us = text.find("\"us\": ", end);
    if (end == std::string::npos || us == std::string::npos) break;
    figures[text.substr(at + 7, end - at - 7)] = atof(text.c_str() + us + 6);
  }
  return figures;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 500;
  bool json = false, quick = false;
  const char *windows = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, atoi(argv[++i]));
    } else if (strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (strcmp(argv[i], "--time-attach") == 0) {
      return TimeAttach();
    } else if (strcmp(argv[i], "--windows") == 0 && i + 1 < argc) {
      windows = argv[++i];
    } else {
      std::fprintf(stderr, "usage: ambercrypt-bench [--rounds N] [--quick] [--json] [--windows FILE]\n");
      return 2;
    }
  }
  if (quick) rounds = 3;
  std::vector<int> counts = quick ? std::vector<int>{1, 5, 10} : std::vector<int>{1, 100, 10000};

  std::vector<Row> rows;
  std::string root;
  const char *failed = nullptr;
  auto step = [&](const char *what, bool done) {
    if (!done && failed == nullptr) failed = what;
    return failed == nullptr;
  };
  if (!NewStore(&root, "/tmp")) return 1;
  Attach("Admin");
  step("provisioning", Restrict("Scanner"));
  for (uint32_t algorithm : {AMBER_CALG_AES_256, AMBER_CALG_3DES}) {
    for (size_t size : {size_t{1024}, size_t{65536}}) {
      if (!failed) step("EncryptBIR/DecryptBIR", CipherRows(algorithm, size, rounds, &rows));
    }
  }
  if (!failed) step("CheckMode", CheckModeRow(rounds, &rows));
  if (!failed) step("the verify road", VerifyRoadRows(rounds, &rows));
#if !defined(_WIN32)
  if (!failed) step("the registry", RegistryRows(root, rounds, &rows));
  if (!failed) step("two processes", TwoProcessRow(quick ? 20 : 50000, &rows));
#endif
  ambercrypt::ProcessDetach();
  RemoveStore(root);
#if defined(_WIN32)
  if (!failed && step("a second store", NewStore(&root, ""))) {
#else
  if (!failed && step("a second store", NewStore(&root, access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"))) {
#endif
    Attach("Admin");
    step("attach", Restrict("Scanner") && AttachRows(rounds, counts, &rows));
    ambercrypt::ProcessDetach();
    RemoveStore(root);
  }
  if (failed != nullptr) {
    std::fprintf(stderr, "ambercrypt-bench: a call failed in %s\n", failed);
    return 1;
  }
  if (windows != nullptr) {
    std::map<std::string, double> figures = ReadWindowsFigures(windows);
    for (Row &row : rows) {
      if (row.baseline == kWineColumn && figures.count(row.id) != 0) row.baseUs = figures[row.id];
    }
  }
#if defined(_WIN32)
  const char *target = "windows";
#else
  const char *target = "linux";
#endif
  if (json) {
    std::printf("{\"target\": \"%s\", \"rounds\": %d, \"rows\": [\n", target, rounds);
    for (size_t i = 0; i < rows.size(); ++i) {
      const Row &r = rows[i];
      std::printf("  {\"id\": \"%s\", \"us\": %.3f, \"baseline_us\": %.3f}%s\n", r.id.c_str(), r.us, r.baseUs,
                  i + 1 < rows.size() ? "," : "");
    }
    std::printf("]}\n");
    return 0;
  }
  std::printf("ambercrypt-bench, %s build, medians of %d, microseconds per call (2-process row: calls per second)\n",
              target, rounds);
  std::printf("%-48s %12s   %-36s %12s %8s\n", "path", "library", "baseline", "baseline", "ratio");
  for (const Row &r : rows) {
    char ratio[32] = "";
    if (r.baseUs > 0 && r.us > 0) std::snprintf(ratio, sizeof ratio, "%.2fx", r.us / r.baseUs);
    char base[32] = "-";
    if (r.baseUs >= 0) std::snprintf(base, sizeof base, "%.2f", r.baseUs);
    std::printf("%-48s %12.2f   %-36s %12s %8s\n", r.path.c_str(), r.us, r.baseline.empty() ? "-" : r.baseline.c_str(),
                base, ratio);
  }
  return 0;
}
