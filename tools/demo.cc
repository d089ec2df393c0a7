// ambercrypt-demo: the library from its callers' side, in a temporary store.
//
// As the administrator: provisions the administrator password (as an
// installation does), restricts the application "Scanner" to mode 4 and gives
// it a secret key and its verify and identify policies. Then, in a process of
// that application (this program copied under the name Scanner), loads the
// library, asks which BSP functions it may use, encrypts and decrypts a BIR,
// and fails verifications and identifications until they are locked out (and,
// for a lock of 0 minutes, released). Every step prints its answer.
//
//   ambercrypt-demo LIBRARY [--keep]     the whole road
//   Scanner --as-host LIBRARY            the application's side (run by the above)
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

const char *CodeName(uint32_t code) {
  switch (code) {
    case AMBER_OK: return "ok";
    case AMBER_NOT_INITIALISED: return "library not initialised";
    case AMBER_SIGN_NULL_OUTPUT: return "no output record";
    case AMBER_E_NO_SECRET_KEY | AMBER_ERROR_FLAG: return "no secret key";
    case AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG: return "administrator password refused";
    case AMBER_E_NOT_PERMITTED | AMBER_ERROR_FLAG: return "not permitted in this mode";
    case AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG: return "setting unavailable";
    case AMBER_E_ENCRYPT_FAILED | AMBER_ERROR_FLAG: return "encryption failed";
    case AMBER_E_DECRYPT_FAILED | AMBER_ERROR_FLAG: return "decryption failed";
    case AMBER_E_LOCKED_NOW | AMBER_ERROR_FLAG: return "failure limit reached: locked now";
    case AMBER_E_LOCKED | AMBER_ERROR_FLAG: return "locked";
    default: return "error";
  }
}

int g_failures = 0;

uint32_t Step(const char *what, uint32_t code, uint32_t expected = AMBER_OK) {
  std::printf("  %-62s -> 0x%07X  %s\n", what, code, CodeName(code));
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

// The application's side: this process is "Scanner".
int RunAsHost(const char *libraryPath) {
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

  // The verify road with lockout: three failures with the same BIR, then the
  // check that reaches the limit locks verification for a minute.
  auto verifyCheck = lib.Get<uint32_t (*)(const BioAPI_BIR *, int32_t, int32_t *, uint8_t *)>(
      "KoBioFPI_VerifySecurityStatas");
  auto verifyUpdate = lib.Get<uint32_t (*)(uint8_t, const BioAPI_BIR *, int32_t, uint8_t)>("KoBioFPI_UpdateVerifyStatus");
  auto identifyCheck = lib.Get<uint32_t (*)(const void *, int32_t, int32_t *, uint8_t *)>(
      "KoBioFPI_IdentifySecurityStatas");
  auto identifyUpdate =
      lib.Get<uint32_t (*)(uint32_t *, BioAPI_CANDIDATE **, uint8_t)>("KoBioFPI_UpdateIdentifyStatus");
  int32_t allowed = 0;
  uint8_t flag = 0;
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
  std::string command = "\"" + host + "\" --as-host \"" + libraryPath + "\"";
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
    execl(host.c_str(), host.c_str(), "--as-host", libraryPath, static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
#endif

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--as-host") == 0) return RunAsHost(argv[2]);
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
  std::snprintf(hmac.keyText, sizeof hmac.keyText, "%s", "Demo response key");
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
