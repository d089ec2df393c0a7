#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "crypto/ccrypt.h"
#include "frame/entry.h"
#include "store/caches.h"
#include "store/constants.h"
#include "store/reg_ctrl.h"
#include "store/setting_store.h"
#include "store/settings.h"

#if defined(_WIN32)
#include <direct.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/posix/registry_tool.h"
#endif

#if defined(__linux__)
// Defined only in programs linked with the zeroing check.
extern "C" int ambercrypt_zerocheck_watch(const void *data, size_t n) __attribute__((weak));
#endif

namespace ambercrypt::test {

void WatchSecret(const void *data, size_t n) {
#if defined(__linux__)
  if (ambercrypt_zerocheck_watch != nullptr && n >= 6) ambercrypt_zerocheck_watch(data, n);
#else
  (void)data;
  (void)n;
#endif
}

void WatchSecret(const char *text) { WatchSecret(text, strlen(text)); }

void WatchDerivedKey(const void *material, size_t n, ALG_ID algorithm) {
  uint8_t digest[20], pad[64], derived[40];
  uint32_t length = sizeof digest;
  CCrypt crypt;
  ASSERT_EQ(0u, crypt.Hash(static_cast<const uint8_t *>(material), static_cast<uint32_t>(n), digest, &length));
  const uint8_t fills[2] = {0x36, 0x5c};
  for (int half = 0; half < 2; ++half) {
    memset(pad, fills[half], sizeof pad);
    for (size_t i = 0; i < sizeof digest; ++i) pad[i] ^= digest[i];
    length = 20;
    ASSERT_EQ(0u, crypt.Hash(pad, sizeof pad, derived + 20 * half, &length));
  }
  WatchSecret(derived, algorithm == CALG_AES_256 ? 32 : 24);
  WipeMemory(derived, sizeof derived);
  WipeMemory(pad, sizeof pad);
  WipeMemory(digest, sizeof digest);
}

Bytes FromHex(const std::string &hex) {
  Bytes out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const uint8_t *data, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
}

Bytes Sha1(const std::string &text) {
  Bytes digest(20);
  uint32_t length = 20;
  CCrypt crypt;
  EXPECT_EQ(0u, crypt.Hash(reinterpret_cast<const uint8_t *>(text.data()), static_cast<uint32_t>(text.size()),
                           digest.data(), &length));
  return digest;
}

std::string NativePath(const std::string &unixPath) {
#if defined(_WIN32)
  // Wine maps the Linux root to drive Z:.
  std::string out = "Z:" + unixPath;
  for (char &c : out) {
    if (c == '/') c = '\\';
  }
  return out;
#else
  return unixPath;
#endif
}

Bytes PemCertificateToDer(const std::string &pem) {
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  size_t start = pem.find(begin);
  size_t end = pem.find("-----END", start == std::string::npos ? 0 : start);
  if (start == std::string::npos || end == std::string::npos) return {};
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Bytes out;
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = start + begin.size(); i < end; ++i) {
    size_t v = alphabet.find(pem[i]);
    if (v == std::string::npos) continue;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<uint8_t>(bits >> 16));
      out.push_back(static_cast<uint8_t>(bits >> 8));
      out.push_back(static_cast<uint8_t>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    out.push_back(static_cast<uint8_t>(bits >> 10));
    out.push_back(static_cast<uint8_t>(bits >> 2));
  } else if (count == 2) {
    out.push_back(static_cast<uint8_t>(bits >> 4));
  }
  return out;
}

namespace {

// One DER element at pos: its header length and content length.
void ReadTlv(const Bytes &der, size_t pos, size_t *header, size_t *length) {
  size_t n = der.at(pos + 1);
  *header = 2;
  if (n & 0x80) {
    size_t count = n & 0x7f;
    n = 0;
    for (size_t i = 0; i < count; ++i) n = (n << 8) | der.at(pos + 2 + i);
    *header += count;
  }
  *length = n;
}

}  // namespace

void IssuerAndSerialOf(const Bytes &der, Bytes *issuer, Bytes *serial) {
  size_t header, length;
  ReadTlv(der, 0, &header, &length);  // Certificate
  size_t pos = header;
  ReadTlv(der, pos, &header, &length);  // tbsCertificate
  pos += header;
  if (der.at(pos) == 0xa0) {  // [0] version
    ReadTlv(der, pos, &header, &length);
    pos += header + length;
  }
  ReadTlv(der, pos, &header, &length);  // serialNumber
  serial->assign(der.rend() - static_cast<long>(pos + header + length), der.rend() - static_cast<long>(pos + header));
  pos += header + length;
  ReadTlv(der, pos, &header, &length);  // signature algorithm
  pos += header + length;
  ReadTlv(der, pos, &header, &length);  // issuer
  issuer->assign(der.begin() + static_cast<long>(pos), der.begin() + static_cast<long>(pos + header + length));
}

namespace {

// Where Wine's behaviour differs from Windows', the case is skipped under Wine
// with the reason; the same test runs everywhere else.
struct WineDifference {
  const char *test;
  const char *reason;
};
const WineDifference kWineDifferences[] = {
    {"ModuleFileNameTruncatesWithTerminator",
     "Wine truncates GetModuleFileNameA without a terminator, as Windows XP did; Windows since Vista "
     "terminates the truncated path"},
    {"ExecutableAtALongPathNamesItsOwnApplication",
     "Wine's CreateProcess refuses a program path longer than MAX_PATH (ERROR_INVALID_NAME); "
     "long_host_path_test starts the program there through the Wine loader instead"},
    {"DecryptLengthsOfNoWholeBlocksAreRefused",
     "Wine's CryptDecrypt deciphers whole blocks past a length of no whole blocks (writing past it, and "
     "answering TRUE when not final) and reads 4 GiB past the buffer on a final decryption of nothing (a "
     "crash); Windows documents NTE_BAD_DATA for such lengths"},
};

}  // namespace

bool UnderWine() {
#if defined(_WIN32)
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

const char *WineDifferenceReason() {
  if (!UnderWine()) return nullptr;
  const char *name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (const WineDifference &d : kWineDifferences) {
    if (strcmp(d.test, name) == 0) return d.reason;
  }
  return nullptr;
}

std::string TestDataPath(const std::string &name) { return NativePath(std::string(AMBERCRYPT_TEST_DATA_DIR) + "/" + name); }

std::string FixturePath(const std::string &name) { return NativePath(std::string(AMBERCRYPT_FIXTURE_DIR) + "/" + name); }

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WatchSecretKey(const char *secretKey) {
  WatchSecret(secretKey);
  uint8_t block[kSecretKeyBlockSize] = {};
  size_t n = strlen(secretKey);
  if (n > 32) return;
  memcpy(block, secretKey, n);
  while (n < 31) block[n++] = '0';
  memcpy(block + n, SecretKeySuffix, sizeof SecretKeySuffix - 1);
  WatchSecret(block, sizeof block);
  WatchDerivedKey(block, sizeof block, CALG_3DES);
  WatchDerivedKey(block, sizeof block, CALG_AES_256);
  WipeMemory(block, sizeof block);
}

void Detach() { ProcessDetach(); }

void AttachAs(const char *hostPath) {
  Detach();
  ProcessAttach(nullptr, hostPath);
  // The installation's key material is watched in every test that attaches.
  if (AttachedSpiContext() != nullptr && AttachedSpiContext()->store().keyMaterial() != nullptr) {
    WatchSecret(AttachedSpiContext()->store().keyMaterial(), AttachedSpiContext()->store().keyMaterialLength());
  }
}

void *InaccessibleAddress() {
  // One page, kept for the life of the program so nothing else is mapped there.
#if defined(_WIN32)
  static void *page = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
#else
  static void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
  return page;
}

#if defined(__linux__)
std::vector<MemoryMapping> MemoryMappings() {
  std::vector<MemoryMapping> mappings;
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  while (std::getline(smaps, line)) {
    unsigned long begin = 0, end = 0;
    char perms[8] = {};
    // A mapping's first line: "begin-end perms offset device inode path".
    if (sscanf(line.c_str(), "%lx-%lx %7s", &begin, &end, perms) == 3 && line.find(':') > line.find(' ')) {
      mappings.push_back({begin, end, perms[0] == 'r' && perms[1] == 'w' && perms[3] == 'p', false});
    } else if (line.rfind("VmFlags:", 0) == 0 && !mappings.empty()) {
      mappings.back().dontDump = (line + " ").find(" dd ") != std::string::npos;
    }
  }
  return mappings;
}

bool LeftOutOfCoreDumps(const void *p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  for (const MemoryMapping &m : MemoryMappings()) {
    if (at >= m.begin && at < m.end) return m.dontDump;
  }
  return false;
}
#endif

void StoreTest::SetUp() {
#if !defined(_WIN32)
  Detach();
  root_ = TempDirectory();
  setenv("AMBERCRYPT_ROOT", root_.c_str(), 1);
#endif
  ResetStore();
}

void StoreTest::TearDown() {
  ResetStore();
#if !defined(_WIN32)
  RemoveTree(root_);
#endif
}

void ResetStore() {
  Detach();
#if defined(_WIN32)
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dravelo");
#else
  posix::RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Dravelo");
#endif
}

void ProvisionAdminPassword(const char *password) {
  WatchSecret(password);
  CRegCtrl reg;
  ASSERT_TRUE(reg.Open(kBaseKeyPath, 1, KEY_ALL_ACCESS));
  // Digested from the caller's text: no copy of the password on the heap.
  uint8_t digest[20];
  uint32_t length = sizeof digest;
  CCrypt crypt;
  ASSERT_EQ(0u, crypt.Hash(reinterpret_cast<const uint8_t *>(password), static_cast<uint32_t>(strlen(password)),
                           digest, &length));
  ASSERT_EQ(0u, reg.SetBinary(settings::kAdminPasswordDigest.name, digest, sizeof digest));
}

void SetInstallationNumber(DWORD number) {
  CRegCtrl reg;
  ASSERT_TRUE(reg.Open(kBaseKeyPath, 1, KEY_ALL_ACCESS));
  ASSERT_EQ(0u, reg.SetDword(settings::kInstallationNumber.name, number));
}

void ProvisionInstallation(const char *adminPassword, DWORD installationNumber) {
  ProvisionAdminPassword(adminPassword);
  SetInstallationNumber(installationNumber);
}

BioAPI_BIR BirOf(Bytes &data) {
  BioAPI_BIR bir;
  memset(&bir, 0, sizeof bir);
  bir.BiometricData.Length = static_cast<uint32_t>(data.size());
  bir.BiometricData.Data = data.data();
  return bir;
}

ResponseMethodRecord ResponseMethod(uint32_t method, const char *keyText) {
  ResponseMethodRecord r;
  memset(&r, 0, sizeof r);
  r.method = method;
  memcpy(r.keyText, keyText, strnlen(keyText, sizeof r.keyText));
  return r;
}

void ProvisionChallenges(const char *application, const char *adminPassword, const ResponseMethodRecord &verify,
                         const ResponseMethodRecord &identify, const Bytes &issuer, const Bytes &serial,
                         const char *hostPath) {
  AttachAs("C:\\Apps\\Admin.EXE");
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction(application, 4, 0, adminPassword));
  ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter(application, 1000, 3, 1, 0, verify, adminPassword));
  ASSERT_EQ(0u, KoBioSPI_InitIdentifyParameter(application, 1000, 3, 1, 0, identify, adminPassword));
  Bytes issuerBytes = issuer, serialBytes = serial;
  IssuerSerial endUser;
  endUser.Issuer = {static_cast<uint32_t>(issuerBytes.size()), issuerBytes.data()};
  endUser.SerialNumber = {static_cast<uint32_t>(serialBytes.size()), serialBytes.data()};
  ASSERT_EQ(0u, KoBioSPI_SetEndUserParameter(application, &endUser));
  AttachAs(hostPath);
}

LockoutRecord ReadLockout(const PolicyFamily &family) {
  LockoutRecord read{ERROR_INVALID_HANDLE, -1, -1};
  const FpiContext *fpi = AttachedFpiContext();
  if (fpi == nullptr) return read;
  SettingStore::Key record = fpi->store().Open(SettingKey::kUserInfo, KEY_READ);
  read.status = record.ReadInt(family.failureCount, &read.failureCount);
  const uint32_t release = record.ReadInt64(family.releaseTime, &read.releaseTime);
  if (read.status == ERROR_SUCCESS) read.status = release;
  return read;
}

#if defined(_WIN32)
int RunAndWait(const std::string &program, const std::vector<std::string> &arguments) {
  // The wide function, so that a program at a path past MAX_PATH runs too.
  auto wide = [](const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); };
  std::wstring commandLine = L"\"" + wide(program) + L"\"";
  for (const std::string &argument : arguments) commandLine += L" \"" + wide(argument) + L"\"";
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(wide(program).c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return -1;
  }
  DWORD code = 0;
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &code)) {
    code = static_cast<DWORD>(-1);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
#else
int RunAndWait(const std::string &program, const std::vector<std::string> &arguments) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  fflush(nullptr);  // nothing buffered is written twice
  pid_t child = fork();
  if (child == 0) {
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
#endif

LSTATUS DeleteValue(const char *path, const char *name) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) return status;
#if defined(_WIN32)
  status = RegDeleteValueA(key, name);
#else
  status = posix::RegDeleteValueA(key, name);
#endif
  RegCloseKey(key);
  return status;
}

LSTATUS ReadRawValue(const char *path, const char *name, Bytes *data, DWORD *type) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
  DWORD size = 0;
  DWORD valueType = 0;
  status = RegQueryValueExA(key, name, nullptr, &valueType, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    data->assign(size, 0);
    status = RegQueryValueExA(key, name, nullptr, &valueType, data->data(), &size);
    data->resize(size);
  }
  if (type != nullptr) *type = valueType;
  RegCloseKey(key);
  return status;
}

LSTATUS WriteRawValue(const char *path, const char *name, DWORD type, const Bytes &data) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                   nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
  RegCloseKey(key);
  return status;
}

bool KeyExists(const char *path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::string ApplicationPath(const char *application) {
  char appKey[30];
  EXPECT_TRUE(HashNameToBase64(application, appKey));
  return ApplicationKeyPath(appKey);
}

bool HasSetting(const char *application, const Setting &setting) {
  Bytes data;
  return ReadRawValue(ApplicationPath(application).c_str(), setting.name, &data) == ERROR_SUCCESS;
}

#if defined(_WIN32)

namespace {

void AddToMachineRoot(const Bytes &der, const wchar_t *container) {
  PCCERT_CONTEXT cert =
      CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  ASSERT_NE(nullptr, cert);
  if (container != nullptr) {
    CRYPT_KEY_PROV_INFO info;
    memset(&info, 0, sizeof info);
    info.pwszContainerName = const_cast<wchar_t *>(container);
    info.dwProvType = PROV_RSA_FULL;
    info.dwKeySpec = AT_SIGNATURE;
    ASSERT_TRUE(CertSetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  ASSERT_NE(nullptr, store);
  ASSERT_TRUE(CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  CertCloseStore(store, 0);
  CertFreeCertificateContext(cert);
}


// Imports a PRIVATEKEYBLOB as the signature key of a user key container (Wine's
// private-key lookup ignores the machine keyset); it is saved when the
// context is released.
void ImportSignatureKey(const char *container, const std::string &blobFile) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, container, nullptr, PROV_RSA_FULL, 0)) {
    ASSERT_TRUE(CryptAcquireContextA(&prov, container, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET));
  }
  std::string blob = ReadFile(FixturePath(blobFile));
  ASSERT_GT(blob.size(), 8u);
  ALG_ID sign = CALG_RSA_SIGN;
  memcpy(&blob[4], &sign, sizeof sign);  // an AT_SIGNATURE key
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptImportKey(prov, reinterpret_cast<const BYTE *>(blob.data()), static_cast<DWORD>(blob.size()), 0,
                             0, &key));
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
}

}  // namespace

void InstallTestCertificates() {
  static bool installed = false;
  if (installed) return;
  ImportSignatureKey("ambercrypt-test-signer", "signer.key.blob");
  ImportSignatureKey("ambercrypt-test-long-issuer", "long_issuer.key.blob");
  AddToMachineRoot(PemCertificateToDer(ReadFile(TestDataPath("signer.cert.pem"))), L"ambercrypt-test-signer");
  AddToMachineRoot(PemCertificateToDer(ReadFile(FixturePath("long_issuer.cert.pem"))), L"ambercrypt-test-long-issuer");
  AddToMachineRoot(PemCertificateToDer(ReadFile(FixturePath("keyless.cert.pem"))), nullptr);
  installed = true;
}

std::string TempDirectory() {
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  static int counter = 0;
  std::string dir = std::string(base) + "ambercrypt-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(counter++);
  _mkdir(dir.c_str());
  return dir;
}

void RemoveTree(const std::string &path) {
  std::string command = "rmdir /s /q \"" + path + "\" >nul 2>nul";
  (void)system(command.c_str());
}

#else

namespace {

// Copies a small file through a buffer on the stack, wiped afterwards. A
// private key's file is watched (64 characters of its Base64) by the zeroing
// check: the store reads it with every certificate it finds.
void CopyFile(const std::string &from, const std::string &to, mode_t mode, bool privateKey = false) {
  char data[16384];
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(in, 0) << from;
  ssize_t n = read(in, data, sizeof data);
  close(in);
  ASSERT_GT(n, 0) << from;
  ASSERT_LT(n, static_cast<ssize_t>(sizeof data)) << from;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(out, 0) << to;
  ASSERT_EQ(n, write(out, data, static_cast<size_t>(n))) << to;
  close(out);
  chmod(to.c_str(), mode);
  if (privateKey && n > 200) WatchSecret(data + 100, 64);
  WipeMemory(data, sizeof data);
}

}  // namespace

void InstallTestCertificates() {
  const char *root = getenv("AMBERCRYPT_ROOT");
  ASSERT_NE(nullptr, root);
  std::string dir = std::string(root) + "/certs";
  mkdir(dir.c_str(), 0755);
  dir += "/ROOT";
  mkdir(dir.c_str(), 0755);
  CopyFile(TestDataPath("signer.cert.pem"), dir + "/signer.pem", 0644);
  CopyFile(TestDataPath("signer.key.pem"), dir + "/signer.key", 0600, true);
  CopyFile(FixturePath("keyless.cert.pem"), dir + "/keyless.pem", 0644);
  CopyFile(FixturePath("long_issuer.cert.pem"), dir + "/long_issuer.pem", 0644);
  CopyFile(FixturePath("long_issuer.key.pem"), dir + "/long_issuer.key", 0600, true);
}

std::string TempDirectory() {
  char pattern[] = "/tmp/ambercrypt-test-XXXXXX";
  char *dir = mkdtemp(pattern);
  EXPECT_NE(nullptr, dir);
  return dir ? dir : "";
}

void RemoveTree(const std::string &path) {
  if (path.empty() || path == "/") return;
  std::string command = "rm -rf '" + path + "'";
  (void)!system(command.c_str());
}

#endif

}  // namespace ambercrypt::test
