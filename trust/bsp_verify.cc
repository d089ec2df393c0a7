// bsp_verify.cc: the digest check of BSP module files. The module is found
// through the BSP's registry entry, directly or along PATH, and digested as
// it is read, piece by piece, so a module of any size is checked without
// holding it in memory. Works on no application: it takes no context.
//
// Whoever may write a directory on PATH may plant a file where the module is
// looked for. What is found is only ever digested and compared, never run, so
// a planted file can at worst make the check fail; what it must not do is make
// the check hang, read past a buffer, or pass: a candidate that is not a
// regular file (a FIFO, a device, a directory) is not the module, a candidate
// path too long for the platform is skipped rather than cut short into
// another path, and a file that cannot be read fails rather than passing for
// an empty one.
#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/base64.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "trust/trust.h"

namespace ambercrypt {
namespace {

constexpr size_t kDigestTextMax = 255;
constexpr size_t kDigestTextLength = 28;  // Base64 of 20 bytes, without the line feed
constexpr size_t kModulePathSize = 255;   // QueryString's output, terminator included
constexpr DWORD kReadPiece = 64 * 1024;
constexpr char kPathListSeparator = static_cast<char>(AMBERCRYPT_PATH_LIST_SEPARATOR);

// The registry path of a BSP's entry: its UUID bytes in stored order, as
// lower-case hexadecimal, grouped 4-2-2-2-6.
std::string BspKeyPath(const uint8_t *u) {
  char text[40];
  snprintf(text, sizeof text, "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}", u[0], u[1],
           u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return std::string(kBspKeyPath) + text;
}

// An open module file, closed on every path.
class ModuleFile {
 public:
  ModuleFile() = default;
  ModuleFile(const ModuleFile &) = delete;
  ModuleFile &operator=(const ModuleFile &) = delete;
  ~ModuleFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  // True when path names a regular file that could be opened for reading.
  bool Open(const char *path) {
    // Shared as the C runtime's fopen shares: a module another process holds
    // open (even for writing) is still found, and then digested as it is. A
    // path that names a pipe may identify this process to its server, never
    // let the server act as it.
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    if (GetFileType(h) != FILE_TYPE_DISK) {
      CloseHandle(h);
      return false;
    }
    handle_ = h;
    return true;
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The whole text of an environment variable; false when it is not set (or,
// for a privileged process on Linux, not to be trusted).
bool ReadEnvironment(const char *name, std::string *value) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD needed = GetEnvironmentVariableA(name, nullptr, 0);
    if (needed == 0) return false;
    std::string text(needed, '\0');
    DWORD got = GetEnvironmentVariableA(name, &text[0], needed);
    if (got == 0) return false;
    if (got < needed) {  // it fitted; otherwise it grew meanwhile: ask again
      text.resize(got);
      *value = std::move(text);
      return true;
    }
  }
  return false;
}

// Opens the module: the path as it stands, else each directory of PATH in
// order followed by "/" and the path. Empty elements are no directory.
uint32_t OpenModule(const char *modulePath, ModuleFile *file) {
  if (file->Open(modulePath)) return AMBER_OK;
  std::string path;
  if (!ReadEnvironment("PATH", &path)) return AMBER_E_BSP_NOT_FOUND;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find(kPathListSeparator, begin);
    if (end == std::string::npos) end = path.size();
    if (end > begin) {
      std::string candidate = path.substr(begin, end - begin);
      candidate += '/';
      candidate += modulePath;
      if (candidate.size() <= MAX_PATH && file->Open(candidate.c_str())) return AMBER_OK;
    }
    begin = end + 1;
  }
  return AMBER_E_BSP_NOT_FOUND;
}

// SHA-1 of the file's complete contents, read in pieces through a wiped
// buffer. A read error, or a file with no bytes, gives no digest.
uint32_t DigestFile(const ModuleFile &file, uint8_t digest[20]) {
  CCrypt crypt;
  if (crypt.BeginHash() != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  CSecureBuffer piece(kReadPiece);
  uint64_t total = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), piece.data(), piece.size(), &read, nullptr)) return AMBER_E_SETTING_UNAVAILABLE;
    if (read == 0) break;
    if (crypt.HashMore(piece.data(), read) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
    total += read;
  }
  if (total == 0) return AMBER_E_SETTING_UNAVAILABLE;
  uint32_t digestLength = 20;
  if (crypt.EndHash(digest, &digestLength) != ERROR_SUCCESS || digestLength != 20) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  return AMBER_OK;
}

}  // namespace

uint32_t VerifyBSP(const BioAPI_UUID *bspUuid, const char *expectedDigest) {
  if (expectedDigest == nullptr) return AMBER_E_BSP_DIGEST_MISMATCH;
  // All 16 bytes, not only the first: a UUID that runs into an unmapped page
  // is not readable either.
  if (IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<uintptr_t>(bspUuid))) ||
      IsBadReadPtr(bspUuid, sizeof(BioAPI_UUID))) {
    return AMBER_E_BSP_NOT_FOUND;
  }
  size_t expectedLength = strnlen(expectedDigest, kDigestTextMax + 1);
  if (expectedLength == 0 || expectedLength > kDigestTextMax) return AMBER_E_BSP_DIGEST_MISMATCH;

  char modulePath[kModulePathSize];
  memset(modulePath, 0, sizeof modulePath);
  {
    CRegCtrl reg;
    if (!reg.Open(BspKeyPath(*bspUuid).c_str(), false, KEY_READ)) return AMBER_E_BSP_NOT_FOUND;
    if (reg.QueryString("path", modulePath) != ERROR_SUCCESS) return AMBER_E_BSP_NOT_FOUND;
  }

  ModuleFile file;
  uint32_t result = OpenModule(modulePath, &file);
  if (result != AMBER_OK) return result;
  uint8_t digest[20];
  result = DigestFile(file, digest);
  if (result != AMBER_OK) return result;

  char text[40];
  memset(text, 0, sizeof text);
  uint64_t textLength = 0;
  Base64Encode(digest, sizeof digest, text, &textLength);
  if (textLength > 0) --textLength;  // the encoder's closing line feed is no part of it
  bool same = textLength == kDigestTextLength && expectedLength == textLength &&
              ConstantTimeEqual(text, expectedDigest, textLength);
  return same ? AMBER_OK : AMBER_E_BSP_DIGEST_MISMATCH;
}

}  // namespace ambercrypt
