// ambercrypt-demo: the library from its callers' side, in a temporary store.
//
// As the administrator: provisions the administrator password (as an
// installation does), restricts the application "Scanner" to mode 4 and gives
// it a secret key, its verify and identify policies and (on Linux, where the
// demo makes a certificate and its key in the "ROOT" store) its BIR-signing
// certificate. Then, in a process of that application (this program copied
// under the name Scanner), loads the library, asks which BSP functions it may
// use, encrypts and decrypts a BIR, verifies a person and answers a challenge
// over the outcome (which an outside party checks with OpenSSL alone), signs a
// reference BIR and has a forged one refused, and fails verifications and
// identifications until they are locked out (and, for a lock of 0 minutes,
// released). Every step prints its answer.
//
//   ambercrypt-demo LIBRARY [--keep]     the whole road
//   Scanner --as-host LIBRARY DIRECTORY  the application's side (run by the above)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "platform/win32_api.h"

#if defined(_WIN32)
#include <direct.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const char kApplication[] = "Scanner";
const char kAdminPassword[] = "Admin-Passw0rd";
const char kSecretKey[] = "DemoSecret2026";
const char kBaseKey[] = "SOFTWARE\\Dravelo\\BioAPI\\Ambervault\\WinCrypto\\";

struct Library {
  void *handle = nullptr;
  bool Load(const char *path) {
#if defined(_WIN32)
    handle = reinterpret_cast<void *>(LoadLibraryA(path));
#else
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
    return handle != nullptr;
  }
  template <typename F>
  F Get(const char *name) {
#if defined(_WIN32)
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name)));
#else
    return reinterpret_cast<F>(dlsym(handle, name));
#endif
  }
  void Unload() {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
  }
};

int g_failures = 0;

uint32_t Step(const char *what, uint32_t code, uint32_t expected = AMBER_OK) {
  std::printf("  %-62s -> 0x%07X  %s\n", what, code, AmberResultText(code));
  if (code != expected) {
    std::printf("     expected 0x%07X\n", expected);
    ++g_failures;
  }
  return code;
}

bool Sha1(const char *text, BYTE digest[20]) {
  HCRYPTPROV prov = 0;
  HCRYPTHASH hash = 0;
  DWORD size = 20;
  bool ok = CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
            CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) &&
            CryptHashData(hash, reinterpret_cast<const BYTE *>(text), static_cast<DWORD>(strlen(text)), 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
  if (hash) CryptDestroyHash(hash);
  if (prov) CryptReleaseContext(prov, 0);
  return ok;
}

// What an installation does: the SHA-1 of the administrator password as
// KoSettingInfo1 in the base key.
bool ProvisionAdministrator() {
  BYTE digest[20];
  if (!Sha1(kAdminPassword, digest)) return false;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBaseKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = RegSetValueExA(key, "KoSettingInfo1", 0, REG_BINARY, digest, sizeof digest) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

std::string Hex(const uint8_t *data, size_t n, size_t limit = 16) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < n && i < limit; ++i) {
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
  }
  if (n > limit) out += "...";
  return out;
}

const char kResponseKey[] = "Demo response key";

#if !defined(_WIN32)
// A self-signed certificate with a fresh RSA key. subjectFrom, when given,
// lends its name (as subject and issuer) and serial number: an impostor.
bool MakeCertificate(const char *commonName, X509 *subjectFrom, X509 **cert, EVP_PKEY **key) {
  *key = EVP_RSA_gen(2048);
  *cert = X509_new();
  if (*key == nullptr || *cert == nullptr) return false;
  X509_set_version(*cert, 2);
  if (subjectFrom != nullptr) {
    X509_set_serialNumber(*cert, X509_get_serialNumber(subjectFrom));
    X509_set_subject_name(*cert, X509_get_subject_name(subjectFrom));
  } else {
    ASN1_INTEGER_set(X509_get_serialNumber(*cert), 0x2026);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(*cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(commonName), -1, -1, 0);
  }
  X509_set_issuer_name(*cert, X509_get_subject_name(*cert));
  X509_gmtime_adj(X509_getm_notBefore(*cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(*cert), 365L * 24 * 3600);
  X509_set_pubkey(*cert, *key);
  return X509_sign(*cert, *key, EVP_sha256()) > 0;
}

// A new file, made with its final mode: a key is never readable by others,
// not even for a moment.
bool WritePem(const std::string &path, X509 *cert, EVP_PKEY *key) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, key != nullptr ? 0600 : 0644);
  FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (f == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  bool ok = key != nullptr ? PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                           : PEM_write_X509(f, cert) == 1;
  return fclose(f) == 0 && ok;
}

// The response text an outside party rebuilds from the record, and the HMAC
// it computes over it with OpenSSL alone: the key text's SHA-1 expanded as
// CryptDeriveKey does (SHA-1 over 64 bytes of 0x36, then of 0x5C, with the
// digest XORed in), its first 24 bytes the key.
std::vector<uint8_t> OutsideHmac(const VerifyChallengeRecord &record) {
  std::string text = std::to_string(record.result) + std::to_string(record.level) +
                     std::to_string(record.achievedFmr) + std::string(record.digestText) +
                     std::string(record.challenge);
  uint8_t digest[20], derived[40];
  unsigned int n = 0;
  EVP_Digest(kResponseKey, strlen(kResponseKey), digest, &n, EVP_sha1(), nullptr);
  for (int half = 0; half < 2; ++half) {
    uint8_t pad[64];
    memset(pad, half == 0 ? 0x36 : 0x5c, sizeof pad);
    for (int i = 0; i < 20; ++i) pad[i] ^= digest[i];
    EVP_Digest(pad, sizeof pad, derived + 20 * half, &n, EVP_sha1(), nullptr);
  }
  std::vector<uint8_t> mac(20);
  HMAC(EVP_sha1(), derived, 24, reinterpret_cast<const uint8_t *>(text.data()), text.size(), mac.data(), &n);
  return mac;
}

// A PKCS#7 message over data made with the impostor's certificate and key.
std::vector<uint8_t> Forge(const std::string &directory, const uint8_t *data, size_t length) {
  std::vector<uint8_t> out;
  FILE *cf = fopen((directory + "/impostor.pem").c_str(), "r");
  FILE *kf = fopen((directory + "/impostor.key").c_str(), "r");
  X509 *cert = cf != nullptr ? PEM_read_X509(cf, nullptr, nullptr, nullptr) : nullptr;
  EVP_PKEY *key = kf != nullptr ? PEM_read_PrivateKey(kf, nullptr, nullptr, nullptr) : nullptr;
  if (cf != nullptr) fclose(cf);
  if (kf != nullptr) fclose(kf);
  BIO *in = BIO_new_mem_buf(data, static_cast<int>(length));
  PKCS7 *p7 = cert != nullptr && key != nullptr ? PKCS7_sign(cert, key, nullptr, in, PKCS7_BINARY) : nullptr;
  int n = p7 != nullptr ? i2d_PKCS7(p7, nullptr) : 0;
  if (n > 0) {
    out.resize(static_cast<size_t>(n));
    uint8_t *p = out.data();
    i2d_PKCS7(p7, &p);
  }
  PKCS7_free(p7);
  BIO_free(in);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}
#endif

bool WriteBytes(const std::string &path, const void *data, size_t length) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(data, 1, length, f) == length;
  return fclose(f) == 0 && ok;
}

// The application's side: this process is "Scanner".
int RunAsHost(const char *libraryPath, const std::string &directory) {
  Library lib;
  std::printf("\n[application process \"%s\"]\n", kApplication);
  if (!lib.Load(libraryPath)) {
    std::printf("  cannot load %s\n", libraryPath);
    return 1;
  }
  auto checkMode = lib.Get<uint32_t (*)(uint32_t)>("KoBioFPI_CheckMode");
  auto encrypt = lib.Get<uint32_t (*)(const BioAPI_BIR *, BioAPI_BIR *)>("KoBioFPI_EncryptBIR");
  auto decrypt = lib.Get<uint32_t (*)(const BioAPI_BIR *, BioAPI_BIR *)>("KoBioFPI_DecryptBIR");

  Step("KoBioFPI_CheckMode(0x0001)   capture allowed in mode 4", checkMode(0x0001));
  Step("KoBioFPI_CheckMode(0x0400)   function bit 10", checkMode(0x0400));
  Step("KoBioFPI_CheckMode(0x0800)   function bit 11, forbidden", checkMode(0x0800),
       AMBER_E_NOT_PERMITTED | AMBER_ERROR_FLAG);

  std::vector<uint8_t> templ(100);
  for (size_t i = 0; i < templ.size(); ++i) templ[i] = static_cast<uint8_t>(i * 37 + 11);
  BioAPI_BIR input;
  memset(&input, 0, sizeof input);
  input.Header.HeaderVersion = 2;
  input.Header.Type = 0x04;  // processed
  input.BiometricData.Length = static_cast<uint32_t>(templ.size());
  input.BiometricData.Data = templ.data();

  BioAPI_BIR encrypted;
  memset(&encrypted, 0, sizeof encrypted);
  Step("KoBioFPI_EncryptBIR(size query)", encrypt(&input, &encrypted));
  std::printf("     ciphertext size: %u bytes for %u plain bytes\n", encrypted.BiometricData.Length,
              input.BiometricData.Length);
  std::vector<uint8_t> cipher(encrypted.BiometricData.Length);
  encrypted.BiometricData.Data = cipher.data();
  Step("KoBioFPI_EncryptBIR", encrypt(&input, &encrypted));
  std::printf("     data type 0x%02x (encrypted bit 0x10), data %s\n", encrypted.Header.Type,
              Hex(cipher.data(), cipher.size()).c_str());

  BioAPI_BIR decrypted;
  memset(&decrypted, 0, sizeof decrypted);
  std::vector<uint8_t> plain(encrypted.BiometricData.Length);
  decrypted.BiometricData.Length = static_cast<uint32_t>(plain.size());
  decrypted.BiometricData.Data = plain.data();
  Step("KoBioFPI_DecryptBIR", decrypt(&encrypted, &decrypted));
  bool same = decrypted.BiometricData.Length == templ.size() && memcmp(plain.data(), templ.data(), templ.size()) == 0;
  std::printf("     data type 0x%02x, %u bytes, %s the original template\n", decrypted.Header.Type,
              decrypted.BiometricData.Length, same ? "equal to" : "DIFFERENT FROM");
  if (!same) ++g_failures;

  auto verifyCheck = lib.Get<uint32_t (*)(const BioAPI_BIR *, int32_t, int32_t *, uint8_t *)>(
      "KoBioFPI_VerifySecurityStatas");
  auto verifyUpdate = lib.Get<uint32_t (*)(uint8_t, const BioAPI_BIR *, int32_t, uint8_t)>("KoBioFPI_UpdateVerifyStatus");
  auto challenge = lib.Get<uint32_t (*)(const char *, VerifyChallengeRecord *)>("KoBioSPI_VerifyChallenge");
  auto sign = lib.Get<uint32_t (*)(const BioAPI_BIR *, BioAPI_BIR *)>("KoBioSPI_DigitalSignBIR");
  auto verifyReference = lib.Get<uint32_t (*)(const BioAPI_BIR *)>("KoBioSPI_VerifyReferenceBIR");
  int32_t allowed = 0;
  uint8_t flag = 0;

  // The verification road: the framework asks before the match and reports
  // after it; the application then has the outcome answered over a challenge
  // of its own, and checks the answer without this library.
  std::printf("\n  verification road: a match, then a challenge answered by HMAC\n");
  Step("KoBioFPI_VerifySecurityStatas(person, FMR 100)", verifyCheck(&input, 100, &allowed, &flag));
  std::printf("     allowed FMR %d, policy flag %u\n", allowed, flag);
  Step("KoBioFPI_UpdateVerifyStatus(match, FMR 10, level 80)", verifyUpdate(1, &input, 10, 80));
  VerifyChallengeRecord record;
  memset(&record, 0, sizeof record);
  const char *text = "Nonce4711xQ";
  Step("KoBioSPI_VerifyChallenge(size query)", challenge(text, &record));
  std::vector<uint8_t> response(record.responseLength);
  record.responseData = response.data();
  Step("KoBioSPI_VerifyChallenge(\"Nonce4711xQ\")", challenge(text, &record));
  std::printf("     result %u, level %u, FMR %d, response %s\n", record.result, record.level, record.achievedFmr,
              Hex(response.data(), record.responseLength, 20).c_str());
#if !defined(_WIN32)
  bool checked = OutsideHmac(record) == std::vector<uint8_t>(response.begin(), response.begin() + record.responseLength);
  std::printf("     an outside party (OpenSSL alone, the key text) recomputes it: %s\n", checked ? "equal" : "DIFFERENT");
  if (!checked) ++g_failures;
#endif
  // For scripts/demo.sh: the record, the response and the challenge, which
  // the application hands to ambercrypt-verify.
  if (const char *out = getenv("AMBERCRYPT_DEMO_OUT")) {
    const std::string base(out);
    bool saved = WriteBytes(base + "/record.bin", &record, sizeof record) &&
                 WriteBytes(base + "/response.bin", response.data(), record.responseLength) &&
                 WriteBytes(base + "/challenge.txt", text, strlen(text));
    std::printf("     record, response and challenge %s\n", saved ? "saved for the application" : "NOT SAVED");
    if (!saved) ++g_failures;
  }
  Step("KoBioSPI_VerifyChallenge   again: the outcome was answered", challenge(text, &record),
       AMBER_E_NO_PENDING_OUTCOME | AMBER_ERROR_FLAG);

#if !defined(_WIN32)
  std::printf("\n  reference BIRs signed with the application's certificate\n");
  BioAPI_BIR signedBir;
  memset(&signedBir, 0, sizeof signedBir);
  std::vector<uint8_t> signedData(templ.size());
  signedBir.BiometricData.Length = static_cast<uint32_t>(signedData.size());
  signedBir.BiometricData.Data = signedData.data();
  Step("KoBioSPI_DigitalSignBIR(size query)", sign(&input, &signedBir));
  std::vector<uint8_t> block(signedBir.SecurityBlock.Length);
  signedBir.SecurityBlock.Data = block.data();
  Step("KoBioSPI_DigitalSignBIR", sign(&input, &signedBir));
  Step("KoBioSPI_VerifyReferenceBIR(signed by Scanner's certificate)", verifyReference(&signedBir));
  std::vector<uint8_t> forged = Forge(directory, templ.data(), templ.size());
  BioAPI_BIR forgedBir = signedBir;
  forgedBir.SecurityBlock.Length = static_cast<uint32_t>(forged.size());
  forgedBir.SecurityBlock.Data = forged.data();
  Step("KoBioSPI_VerifyReferenceBIR(forged: same issuer and serial)", verifyReference(&forgedBir),
       AMBER_E_SIGNATURE | AMBER_ERROR_FLAG);
#else
  (void)sign;
  (void)verifyReference;
  (void)directory;
  std::printf("\n  (signed reference BIRs: the Linux demo makes a certificate for them)\n");
#endif

  // The verify road with lockout: three failures with the same BIR, then the
  // check that reaches the limit locks verification for a minute.
  auto identifyCheck = lib.Get<uint32_t (*)(const void *, int32_t, int32_t *, uint8_t *)>(
      "KoBioFPI_IdentifySecurityStatas");
  auto identifyUpdate =
      lib.Get<uint32_t (*)(uint32_t *, BioAPI_CANDIDATE **, uint8_t)>("KoBioFPI_UpdateIdentifyStatus");
  std::printf("\n  verification: at most 3 failures, then locked for 1 minute\n");
  for (int attempt = 1; attempt <= 3; ++attempt) {
    Step("KoBioFPI_VerifySecurityStatas(person, FMR 100)", verifyCheck(&input, 100, &allowed, &flag));
    Step("KoBioFPI_UpdateVerifyStatus(no match)", verifyUpdate(0, &input, 0, 0));
  }
  Step("KoBioFPI_VerifySecurityStatas   the limit is reached", verifyCheck(&input, 100, &allowed, &flag),
       AMBER_E_LOCKED_NOW | AMBER_ERROR_FLAG);
  Step("KoBioFPI_VerifySecurityStatas   within the minute", verifyCheck(&input, 100, &allowed, &flag),
       AMBER_E_LOCKED | AMBER_ERROR_FLAG);

  std::printf("\n  identification: at most 2 failures, locked for 0 minutes\n");
  BioAPI_CANDIDATE *candidates = nullptr;
  uint32_t found = 0;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    Step("KoBioFPI_IdentifySecurityStatas(FMR 100)", identifyCheck(nullptr, 100, &allowed, &flag));
    Step("KoBioFPI_UpdateIdentifyStatus(no candidate)", identifyUpdate(&found, &candidates, 0));
  }
  Step("KoBioFPI_IdentifySecurityStatas   the limit is reached", identifyCheck(nullptr, 100, &allowed, &flag),
       AMBER_E_LOCKED_NOW | AMBER_ERROR_FLAG);
  Step("KoBioFPI_IdentifySecurityStatas   the lock has run out", identifyCheck(nullptr, 100, &allowed, &flag));
  lib.Unload();
  return g_failures == 0 ? 0 : 1;
}

#if defined(_WIN32)
// Runs this program again as Scanner.exe: the library names the application
// after the executable's file name.
int RunApplicationProcess(const std::string &directory, const char *libraryPath) {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::string host = directory + "\\" + kApplication + ".exe";
  if (!CopyFileA(self, host.c_str(), FALSE)) return 1;
  std::string command = "\"" + host + "\" --as-host \"" + libraryPath + "\" \"" + directory + "\"";
  STARTUPINFOA si;
  PROCESS_INFORMATION pi;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  std::fflush(stdout);
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 1;
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}
#else
// Runs this program again under the application's file name: the library
// names the application after the executable the kernel reports.
int RunApplicationProcess(const std::string &directory, const char *libraryPath) {
  std::string host = directory + "/" + kApplication;
  std::string self(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", &self[0], self.size() - 1);
  if (n <= 0) return 1;
  self.resize(static_cast<size_t>(n));
  std::string copy = "cp '" + self + "' '" + host + "'";
  if (std::system(copy.c_str()) != 0) return 1;
  chmod(host.c_str(), 0755);
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    execl(host.c_str(), host.c_str(), "--as-host", libraryPath, directory.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
#endif

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "--as-host") == 0) return RunAsHost(argv[2], argv[3]);
  if (argc < 2) {
    std::fprintf(stderr, "usage: ambercrypt-demo LIBRARY [--keep]\n");
    return 2;
  }
  const char *libraryPath = argv[1];
  bool keep = argc > 2 && strcmp(argv[2], "--keep") == 0;
#if defined(_WIN32)
  // The registry is the machine's; the files go to a temporary directory.
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  std::string directory = std::string(base) + "ambercrypt-demo-" + std::to_string(GetCurrentProcessId());
  _mkdir(directory.c_str());
  const char *dir = directory.c_str();
  std::printf("ambercrypt demo: the machine's registry, files in %s\n", dir);
#else
  char pattern[] = "/tmp/ambercrypt-demo-XXXXXX";
  const char *dir = mkdtemp(pattern);
  if (dir == nullptr) return 1;
  setenv("AMBERCRYPT_ROOT", dir, 1);
  std::printf("ambercrypt demo: state root %s\n", dir);
#endif

  std::printf("\n[installation]\n");
  bool provisioned = ProvisionAdministrator();
  std::printf("  %-62s -> %s\n", "administrator password digest as KoSettingInfo1", provisioned ? "written" : "FAILED");
  if (!provisioned) return 1;

  std::printf("\n[administration tool]\n");
  Library lib;
  if (!lib.Load(libraryPath)) {
    std::printf("  cannot load %s\n", libraryPath);
    return 1;
  }
  auto restrict = lib.Get<uint32_t (*)(const char *, uint32_t, uint32_t, const char *)>("KoBioSPI_RestrictBSPFunction");
  auto initKey = lib.Get<uint32_t (*)(const char *, uint32_t, const char *, const char *)>("KoBioSPI_InitSecretKey");
  auto sign = lib.Get<uint32_t (*)(const BioAPI_BIR *, BioAPI_BIR *)>("KoBioSPI_DigitalSignBIR");
  using InitPolicy = uint32_t (*)(const char *, int32_t, int32_t, int32_t, uint8_t, ResponseMethodRecord, const char *);
  auto initVerify = lib.Get<InitPolicy>("KoBioSPI_InitVerifyParameter");
  auto initIdentify = lib.Get<InitPolicy>("KoBioSPI_InitIdentifyParameter");
  ResponseMethodRecord hmac;
  memset(&hmac, 0, sizeof hmac);
  hmac.method = AMBER_RESPONSE_HMAC;
  std::snprintf(hmac.keyText, sizeof hmac.keyText, "%s", kResponseKey);
  BioAPI_BIR empty;
  memset(&empty, 0, sizeof empty);
  Step("KoBioSPI_DigitalSignBIR(bir, NULL)", sign(&empty, nullptr), AMBER_SIGN_NULL_OUTPUT);
  Step("KoBioSPI_RestrictBSPFunction(\"Scanner\", 4, 0, wrong password)",
       restrict(kApplication, 4, 0, "wrong-Passw0rd"), AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG);
  Step("KoBioSPI_InitSecretKey before mode 4", initKey(kApplication, AMBER_CALG_AES_256, kSecretKey, kAdminPassword),
       AMBER_E_NOT_PERMITTED | AMBER_ERROR_FLAG);
  Step("KoBioSPI_RestrictBSPFunction(\"Scanner\", mode 4)", restrict(kApplication, 4, 0, kAdminPassword));
  Step("KoBioSPI_InitSecretKey(\"Scanner\", AES-256, key)",
       initKey(kApplication, AMBER_CALG_AES_256, kSecretKey, kAdminPassword));
  Step("KoBioSPI_InitVerifyParameter(FMR 1000, 3 failures, 1 minute)",
       initVerify(kApplication, 1000, 3, 1, 1, hmac, kAdminPassword));
  Step("KoBioSPI_InitIdentifyParameter(FMR 1000, 2 failures, 0 minutes)",
       initIdentify(kApplication, 1000, 2, 0, 1, hmac, kAdminPassword));
#if !defined(_WIN32)
  // Scanner's BIR-signing certificate, with its key, in the "ROOT" store; an
  // impostor's, with the same issuer and serial number and another key, kept
  // apart for the forger.
  auto initCertificate =
      lib.Get<uint32_t (*)(const char *, const IssuerSerial *, const char *)>("KoBioSPI_InitCerfificate");
  X509 *signer = nullptr, *impostor = nullptr;
  EVP_PKEY *signerKey = nullptr, *impostorKey = nullptr;
  const std::string store = std::string(dir) + "/certs/ROOT";
  bool made = MakeCertificate("Scanner reference signer", nullptr, &signer, &signerKey) &&
              MakeCertificate(nullptr, signer, &impostor, &impostorKey) &&
              std::system(("mkdir -p '" + store + "'").c_str()) == 0 &&
              WritePem(store + "/scanner-signer.pem", signer, nullptr) &&
              WritePem(store + "/scanner-signer.key", signer, signerKey) &&
              WritePem(std::string(dir) + "/impostor.pem", impostor, nullptr) &&
              WritePem(std::string(dir) + "/impostor.key", impostor, impostorKey);
  std::printf("  %-62s -> %s\n", "signing certificate and key in ROOT; an impostor's apart", made ? "made" : "FAILED");
  if (!made) ++g_failures;
  // Issuer as DER, serial number least significant byte first, as CryptoAPI has them.
  unsigned char *issuerDer = nullptr;
  int issuerLength = i2d_X509_NAME(X509_get_issuer_name(signer), &issuerDer);
  BIGNUM *serial = ASN1_INTEGER_to_BN(X509_get_serialNumber(signer), nullptr);
  std::vector<uint8_t> serialBytes(static_cast<size_t>(BN_num_bytes(serial)));
  BN_bn2lebinpad(serial, serialBytes.data(), static_cast<int>(serialBytes.size()));
  IssuerSerial id;
  memset(&id, 0, sizeof id);
  id.Issuer.cbData = static_cast<uint32_t>(issuerLength > 0 ? issuerLength : 0);
  id.Issuer.pbData = issuerDer;
  id.SerialNumber.cbData = static_cast<uint32_t>(serialBytes.size());
  id.SerialNumber.pbData = serialBytes.data();
  Step("KoBioSPI_InitCerfificate(\"Scanner\", the signer's issuer and serial)",
       initCertificate(kApplication, &id, kAdminPassword));
  OPENSSL_free(issuerDer);
  BN_free(serial);
  X509_free(signer);
  X509_free(impostor);
  EVP_PKEY_free(signerKey);
  EVP_PKEY_free(impostorKey);
#endif
  lib.Unload();

  int rc = RunApplicationProcess(dir, libraryPath);
  if (rc != 0) ++g_failures;
  if (!keep) {
#if defined(_WIN32)
    std::string remove = std::string("rmdir /s /q \"") + dir + "\"";
#else
    std::string remove = std::string("rm -rf '") + dir + "'";
#endif
    (void)!std::system(remove.c_str());
  }
  std::printf("\n%s\n", g_failures == 0 ? "demo: every step answered as expected" : "demo: some steps FAILED");
  return g_failures == 0 ? 0 : 1;
}
