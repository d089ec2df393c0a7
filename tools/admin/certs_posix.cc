// certs_posix.cc: certificates for ambercrypt-admin on Linux, read with
// OpenSSL, and the "ROOT" store directory the tool keeps (see certs.h).
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "crypto/wiping_allocator.h"
#include "platform/posix/state_root.h"
#include "tools/admin/certs.h"
#include "tools/admin/certs_internal.h"

namespace ambercrypt::admin {

namespace {

struct X509Free {
  void operator()(X509 *x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::string NameText(const X509_NAME *name) {
  BIO *bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return {};
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
  char *data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string text(data, data + (length > 0 ? length : 0));
  BIO_free(bio);
  return text;
}

bool Describe(X509 *cert, CertificateInfo *info) {
  unsigned char *der = nullptr;
  int length = i2d_X509(cert, &der);
  if (length <= 0) return false;
  info->der.assign(der, der + length);
  OPENSSL_free(der);
  unsigned char *issuer = nullptr;
  length = i2d_X509_NAME(X509_get_issuer_name(cert), &issuer);
  if (length <= 0) return false;
  info->issuer.assign(issuer, issuer + length);
  OPENSSL_free(issuer);
  // The DER INTEGER's content bytes, reversed: CryptoAPI's order.
  unsigned char *serial = nullptr;
  length = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert), &serial);
  if (length < 3) {
    OPENSSL_free(serial);
    return false;
  }
  size_t header = 2;
  if (serial[1] & 0x80) header += serial[1] & 0x7F;
  if (header >= static_cast<size_t>(length)) {
    OPENSSL_free(serial);
    return false;
  }
  info->serial.assign(serial + header, serial + length);
  std::reverse(info->serial.begin(), info->serial.end());
  OPENSSL_free(serial);
  info->subject = NameText(X509_get_subject_name(cert));
  info->issuerText = NameText(X509_get_issuer_name(cert));
  return Thumbprint(info);
}

// Every certificate in data, PEM (one or more) or DER (one).
std::vector<X509Ptr> ParseCertificates(const char *data, size_t size) {
  std::vector<X509Ptr> certs;
  static const char kPem[] = "-----BEGIN";
  if (std::search(data, data + size, kPem, kPem + sizeof kPem - 1) != data + size) {
    BIO *bio = BIO_new_mem_buf(data, static_cast<int>(size));
    if (bio == nullptr) return certs;
    while (X509 *x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) certs.emplace_back(x);
    BIO_free(bio);
  } else {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
    if (X509 *x = d2i_X509(nullptr, &p, static_cast<long>(size))) certs.emplace_back(x);
  }
  return certs;
}

std::vector<X509Ptr> ParseCertificates(const std::string &data) { return ParseCertificates(data.data(), data.size()); }

bool IsCertificateFileName(const std::string &name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot + 1);
  for (char &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == "pem" || ext == "crt" || ext == "cer" || ext == "der";
}

std::string BaseName(const std::string &file) {
  size_t dot = file.rfind('.');
  return dot == std::string::npos ? file : file.substr(0, dot);
}

// A store file is at most this long (as the library reads them).
constexpr size_t kLargestStoreFile = 16 << 20;

// Everything fd holds, into buffers that are wiped when they go: a file may
// hold a private key.
bool ReadAll(int fd, SecretString *data) {
  data->clear();
  char chunk[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (data->size() + static_cast<size_t>(n) > kLargestStoreFile) {
      ok = false;
      break;
    }
    data->append(chunk, static_cast<size_t>(n));
  }
  OPENSSL_cleanse(chunk, sizeof chunk);
  return ok;
}

EVP_PKEY *KeyFrom(int fd) {
  SecretString data;
  if (!ReadAll(fd, &data)) return nullptr;
  BIO *bio = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
  if (bio == nullptr) return nullptr;
  EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return key;
}

// The key file the administrator names (a FIFO may feed it, as a password file).
EVP_PKEY *ReadKey(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  EVP_PKEY *key = KeyFrom(fd);
  close(fd);
  return key;
}

// Writes a new file in dir with exactly this mode (and, with group >= 0,
// that group), whatever the umask; never replaces one, never follows a link.
bool WriteNewFile(const posix::StateDirectory &dir, const std::string &name, const std::string &data, mode_t mode,
                  gid_t group, bool setGroup, std::string *message) {
  const std::string path = dir.path + "/" + name;
  int fd = openat(dir.fd.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *message = path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = (!setGroup || fchown(fd, static_cast<uid_t>(-1), group) == 0) && fchmod(fd, mode) == 0;
  size_t done = 0;
  while (ok && done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    *message = path + ": cannot be written";
    unlinkat(dir.fd.get(), name.c_str(), 0);
  }
  return ok;
}

// Why path could not be used: the refusal its call gave, else its error.
std::string RefusalOf(const std::string &path, LSTATUS status, const std::string &refusal) {
  if (!refusal.empty()) return refusal;
  return path + ": cannot be opened (error " + std::to_string(status) + ")";
}

// The "ROOT" store's directory, through the same checks the library makes of
// the state root: a planted link or another account's directory on the way
// is refused, never followed. With create (import) certs/ and certs/ROOT/
// are made when missing; without, a missing one is *absent, an empty store.
// A missing state root is no store at all, and is never made here.
bool OpenRootStore(bool create, posix::StateDirectory *store, bool *absent, std::string *message) {
  *absent = false;
  posix::StateDirectory root, certs;
  std::string why;
  LSTATUS status = posix::OpenStateRoot(false, &root, &why);
  if (status == ERROR_FILE_NOT_FOUND) {
    *message = "there is no store at " + posix::StateRoot();
    return false;
  }
  if (status == ERROR_SUCCESS) status = posix::OpenStateDirectory(root, "certs", 0755, create, &certs, &why);
  if (status == ERROR_SUCCESS) status = posix::OpenStateDirectory(certs, "ROOT", 0755, create, store, &why);
  if (status == ERROR_FILE_NOT_FOUND && !create) {
    *absent = true;
    return true;
  }
  if (status != ERROR_SUCCESS) {
    *message = "the \"ROOT\" store under " + posix::StateRoot() + " cannot be used: " +
               (why.empty() ? "error " + std::to_string(status) : why);
    return false;
  }
  return true;
}

// The certificates of the store's file name, read through the store's
// descriptor: a regular file with one link, never a link followed nor a FIFO
// waited on. *fd keeps the file open (for a removal of just this file).
bool ReadStoreFile(const posix::StateDirectory &store, const std::string &name, posix::UniqueFd *fd,
                   std::vector<X509Ptr> *certs, std::string *why) {
  const std::string path = store.path + "/" + name;
  std::string refusal;
  LSTATUS status = posix::OpenStateFile(store, name.c_str(), O_RDONLY, 0644, false, posix::FileOwner::kAnyone, fd,
                                        nullptr, &refusal);
  if (status != ERROR_SUCCESS) {
    *why = RefusalOf(path, status, refusal);
    return false;
  }
  SecretString data;
  if (fcntl(fd->get(), F_SETFL, 0) != 0 || !ReadAll(fd->get(), &data)) {
    *why = path + ": cannot be read";
    return false;
  }
  // A store's .pem may hold a private key too: the text stays in data alone.
  *certs = ParseCertificates(data.data(), data.size());
  return true;
}

// Whether the store holds cert's private key as <base name>.key: a regular
// file of a trusted owner that no other account may write. Another file
// there is noted and not used.
bool StoreHasKey(const posix::StateDirectory &store, const std::string &keyName, X509 *cert,
                 std::vector<std::string> *notes) {
  const std::string path = store.path + "/" + keyName;
  posix::UniqueFd fd;
  std::string refusal;
  LSTATUS status = posix::OpenStateFile(store, keyName.c_str(), O_RDONLY, 0640, false, posix::FileOwner::kTrusted,
                                        &fd, nullptr, &refusal);
  if (status != ERROR_SUCCESS) {
    if (status != ERROR_FILE_NOT_FOUND && notes != nullptr) {
      notes->push_back(RefusalOf(path, status, refusal) + " (key not used)");
    }
    return false;
  }
  if (fcntl(fd.get(), F_SETFL, 0) != 0) return false;
  EVP_PKEY *key = KeyFrom(fd.get());
  if (key == nullptr) return false;
  bool match = X509_check_private_key(cert, key) == 1;
  EVP_PKEY_free(key);
  return match;
}

// Every certificate of an open store, each with its file; files that cannot
// be used are noted (when notes is given) and skipped.
bool ListStore(const posix::StateDirectory &store, std::vector<CertificateInfo> *certificates,
               std::vector<std::string> *notes, std::string *error) {
  std::vector<std::string> names;
  std::string refusal;
  LSTATUS status = posix::ListStateDirectory(store, &names, &refusal);
  if (status != ERROR_SUCCESS) {
    *error = RefusalOf(store.path, status, refusal);
    return false;
  }
  for (const std::string &name : names) {
    if (!IsCertificateFileName(name)) continue;
    posix::UniqueFd fd;
    std::vector<X509Ptr> certs;
    std::string why;
    if (!ReadStoreFile(store, name, &fd, &certs, &why)) {
      if (notes != nullptr) notes->push_back(why + " (skipped)");
      continue;
    }
    for (X509Ptr &cert : certs) {
      CertificateInfo info;
      if (!Describe(cert.get(), &info)) continue;
      info.file = store.path + "/" + name;
      info.hasKey = StoreHasKey(store, BaseName(name) + ".key", cert.get(), notes);
      certificates->push_back(std::move(info));
    }
  }
  ERR_clear_error();
  return true;
}

// The Linux "ROOT" store directory: $AMBERCRYPT_ROOT/certs/ROOT.
std::string RootStoreDirectory() { return posix::StateRoot() + "/certs/ROOT"; }

}  // namespace

bool DescribeDer(const std::string &der, CertificateInfo *info) {
  std::vector<X509Ptr> certs = ParseCertificates(der);
  return !certs.empty() && Describe(certs[0].get(), info);
}

bool ReadCertificateFile(const std::string &path, CertificateInfo *info, std::string *error) {
  std::string data;
  if (!ReadWhole(path, &data)) {
    *error = path + ": cannot be read";
    return false;
  }
  std::vector<X509Ptr> certs = ParseCertificates(data);
  if (certs.empty() || !Describe(certs[0].get(), info)) {
    *error = path + ": not a PEM or DER certificate";
    return false;
  }
  return true;
}

bool ListRoot(std::vector<CertificateInfo> *certificates, std::vector<std::string> *notes, std::string *error) {
  posix::StateDirectory store;
  bool absent = false;
  if (!OpenRootStore(false, &store, &absent, error)) return false;
  return absent || ListStore(store, certificates, notes, error);
}

bool FindRootByThumbprint(const std::string &thumbprint, CertificateInfo *info, std::string *error) {
  std::vector<CertificateInfo> all;
  if (!ListRoot(&all, nullptr, error)) return false;
  std::string hex = NormalisedThumbprint(thumbprint);
  for (CertificateInfo &c : all) {
    if (c.thumbprint == hex) {
      *info = std::move(c);
      return true;
    }
  }
  *error = "no certificate with thumbprint " + hex + " in \"ROOT\" (" + RootStoreDirectory() + ")";
  return false;
}

bool ImportRoot(const std::string &certificatePath, const std::string &keyPath, const std::string &name,
                std::string *message) {
  std::string data;
  if (!ReadWhole(certificatePath, &data)) {
    *message = certificatePath + ": cannot be read";
    return false;
  }
  std::vector<X509Ptr> certs = ParseCertificates(data);
  CertificateInfo info;
  if (certs.size() != 1 || !Describe(certs[0].get(), &info)) {
    *message = certificatePath + ": not a PEM or DER file holding one certificate";
    return false;
  }
  std::string keyPem;
  if (!keyPath.empty()) {
    EVP_PKEY *key = ReadKey(keyPath);
    if (key == nullptr) {
      *message = keyPath + ": not a PEM private key";
      return false;
    }
    bool match = X509_check_private_key(certs[0].get(), key) == 1;
    if (match) {
      BIO *bio = BIO_new(BIO_s_mem());
      if (bio != nullptr && PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
        char *pem = nullptr;
        long length = BIO_get_mem_data(bio, &pem);
        keyPem.assign(pem, pem + (length > 0 ? length : 0));
      }
      BIO_free(bio);
    }
    EVP_PKEY_free(key);
    if (!match) {
      *message = keyPath + ": this private key does not belong to the certificate " + info.thumbprint + "; nothing imported";
      return false;
    }
    if (keyPem.empty()) {
      *message = keyPath + ": the key cannot be written out";
      return false;
    }
  }
  std::vector<CertificateInfo> present;
  std::string error;
  if (ListRoot(&present, nullptr, &error)) {
    for (const CertificateInfo &c : present) {
      if (c.thumbprint == info.thumbprint) {
        *message = "certificate " + info.thumbprint + " is already in \"ROOT\" (" + c.file + ")";
        return false;
      }
    }
  }
  std::string base = name.empty() ? info.thumbprint : name;
  if (base.find('/') != std::string::npos || base[0] == '.') {
    *message = "name " + base + ": a plain file name is needed";
    return false;
  }
  posix::StateDirectory store;
  bool absent = false;
  if (!OpenRootStore(true, &store, &absent, message)) {
    OPENSSL_cleanse(keyPem.data(), keyPem.size());
    return false;
  }
  const std::string certName = base + ".pem", keyName = base + ".key";
  const std::string certFile = store.path + "/" + certName, keyFile = store.path + "/" + keyName;
  struct stat existing;
  if (!keyPem.empty() && fstatat(store.fd.get(), keyName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    *message = keyFile + ": exists";
    OPENSSL_cleanse(keyPem.data(), keyPem.size());
    return false;
  }
  // In a store kept for a group of host accounts (the package's: the
  // directory group-readable, owned by a group of its own), the hosts sign
  // with the key: it is readable by that group, by nobody else.
  struct stat dirStat;
  const bool groupStore = fstat(store.fd.get(), &dirStat) == 0 && dirStat.st_gid != 0 && (dirStat.st_mode & 0040);
  const mode_t keyMode = groupStore ? 0640 : 0600;
  std::string pem;
  BIO *bio = BIO_new(BIO_s_mem());
  if (bio != nullptr && PEM_write_bio_X509(bio, certs[0].get()) == 1) {
    char *p = nullptr;
    long length = BIO_get_mem_data(bio, &p);
    pem.assign(p, p + (length > 0 ? length : 0));
  }
  BIO_free(bio);
  bool ok = !pem.empty() && WriteNewFile(store, certName, pem, 0644, dirStat.st_gid, groupStore, message);
  if (ok && !keyPem.empty() && !WriteNewFile(store, keyName, keyPem, keyMode, dirStat.st_gid, groupStore, message)) {
    unlinkat(store.fd.get(), certName.c_str(), 0);
    ok = false;
  }
  OPENSSL_cleanse(keyPem.data(), keyPem.size());
  if (ok) {
    *message = "imported " + info.thumbprint + " (" + info.subject + ") as " + certFile +
               (keyPath.empty() ? "" : " with its key " + keyFile + (groupStore ? " (0640, the store's group)" : " (0600)"));
  }
  return ok;
}

bool RemoveRoot(const std::string &thumbprint, std::string *message) {
  posix::StateDirectory store;
  bool absent = false;
  if (!OpenRootStore(false, &store, &absent, message)) return false;
  std::vector<CertificateInfo> all;
  if (!absent && !ListStore(store, &all, nullptr, message)) return false;
  std::string hex = NormalisedThumbprint(thumbprint);
  auto it = std::find_if(all.begin(), all.end(), [&](const CertificateInfo &c) { return c.thumbprint == hex; });
  if (it == all.end()) {
    *message = "no certificate with thumbprint " + hex + " in \"ROOT\"";
    return false;
  }
  const std::string file = it->file, name = file.substr(store.path.size() + 1);
  // The file is opened and read once more, and only that file, holding this
  // certificate alone, is removed: never what a link names, never a file put
  // in its place since.
  posix::UniqueFd fd;
  std::vector<X509Ptr> certs;
  std::string why;
  if (!ReadStoreFile(store, name, &fd, &certs, &why)) {
    *message = why + "; nothing removed";
    return false;
  }
  CertificateInfo held;
  if (certs.size() != 1 || !Describe(certs[0].get(), &held) || held.thumbprint != hex) {
    *message = file + (certs.size() > 1 ? " holds other certificates too: edit it by hand"
                                        : " changed since it was listed; nothing removed");
    return false;
  }
  std::string refusal;
  LSTATUS removed = posix::RemoveStateFile(store, name.c_str(), fd, &refusal);
  if (removed != ERROR_SUCCESS) {
    *message = RefusalOf(file, removed, refusal) + "; nothing removed";
    return false;
  }
  *message = "removed " + file;
  // Its key goes with it when it is a regular file; anything else by that
  // name is left and named.
  const std::string keyName = BaseName(name) + ".key";
  posix::UniqueFd keyFd;
  refusal.clear();
  LSTATUS status = posix::OpenStateFile(store, keyName.c_str(), O_RDONLY, 0600, false, posix::FileOwner::kAnyone,
                                        &keyFd, nullptr, &refusal);
  if (status == ERROR_SUCCESS) status = posix::RemoveStateFile(store, keyName.c_str(), keyFd, &refusal);
  if (status == ERROR_SUCCESS) {
    *message += " and " + store.path + "/" + keyName;
  } else if (status != ERROR_FILE_NOT_FOUND) {
    *message += "; left " + RefusalOf(store.path + "/" + keyName, status, refusal);
  }
  return true;
}

}  // namespace ambercrypt::admin
