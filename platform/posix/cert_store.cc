// cert_store.cc: system certificate stores on OpenSSL 3.
//
// A system store is the directory certs/<NAME>/ under the state root: each
// .pem/.crt/.cer/.der file holds certificates, and a certificate's private key,
// when the store has it, is the PEM file <base name>.key beside it (failing
// that, any PEM private key in the directory that matches the certificate).
// Contexts carry CERT_INFO as CryptoAPI fills it (serial number least
// significant byte first).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/cert_context.h"
#include "platform/posix/openssl_error.h"
#include "platform/posix/state_root.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {

CertContextImpl *AsContext(PCCERT_CONTEXT c) { return FindHandle<CertContextImpl>(c, HandleKind::kCertificate); }

std::string OidText(const ASN1_OBJECT *obj) {
  char text[128];
  int n = OBJ_obj2txt(text, sizeof text, obj, 1);
  return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text) : std::string();
}

namespace {


struct StoreEntry {
  Bytes der;
  std::string keyPath;  // empty when the store holds no key for it
};

struct CertStore {
  std::vector<StoreEntry> entries;
  HandleRegistration registration{this, HandleKind::kCertStore};
};

CertStore *AsStore(HCERTSTORE h) { return FindHandle<CertStore>(h, HandleKind::kCertStore); }

Bytes AlgorithmParams(const X509_ALGOR *alg) {
  const ASN1_OBJECT *obj = nullptr;
  int type = 0;
  const void *value = nullptr;
  X509_ALGOR_get0(&obj, &type, &value, alg);
  if (type == V_ASN1_UNDEF) return {};
  if (type == V_ASN1_NULL) return {0x05, 0x00};
  ASN1_TYPE *t = ASN1_TYPE_new();
  Bytes out;
  if (t != nullptr && ASN1_TYPE_set1(t, type, value) == 1) ToDer(t, i2d_ASN1_TYPE, out);
  ASN1_TYPE_free(t);
  return out;
}

FILETIME ToFileTime(const ASN1_TIME *time) {
  FILETIME ft{0, 0};
  struct tm tm;
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return ft;
  SYSTEMTIME st;
  memset(&st, 0, sizeof st);
  st.wYear = static_cast<WORD>(tm.tm_year + 1900);
  st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st.wDay = static_cast<WORD>(tm.tm_mday);
  st.wHour = static_cast<WORD>(tm.tm_hour);
  st.wMinute = static_cast<WORD>(tm.tm_min);
  st.wSecond = static_cast<WORD>(tm.tm_sec);
  SystemTimeToFileTime(&st, &ft);
  return ft;
}

// The DER INTEGER's content bytes reversed, as CERT_INFO holds a serial number.
bool SerialLittleEndian(const ASN1_INTEGER *serial, Bytes &out) {
  Bytes der;
  if (!ToDer(const_cast<ASN1_INTEGER *>(serial), i2d_ASN1_INTEGER, der) || der.size() < 2) return false;
  size_t header = 2;
  if (der[1] & 0x80) header += der[1] & 0x7f;
  if (header > der.size()) return false;
  out.assign(der.rbegin(), der.rend() - static_cast<long>(header));
  return true;
}

}  // namespace

std::unique_ptr<CertContextImpl> MakeContext(const Bytes &der, const std::string &keyPath, HCERTSTORE store,
                                             size_t index) {
  const uint8_t *p = der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert) return nullptr;
  auto impl = std::make_unique<CertContextImpl>();
  impl->der = der;
  impl->keyPath = keyPath;
  impl->index = index;
  if (!SerialLittleEndian(X509_get0_serialNumber(cert.get()), impl->serial) ||
      !ToDer(X509_get_issuer_name(cert.get()), i2d_X509_NAME, impl->issuer) ||
      !ToDer(X509_get_subject_name(cert.get()), i2d_X509_NAME, impl->subject)) {
    return nullptr;
  }
  const X509_ALGOR *sigAlg = X509_get0_tbs_sigalg(cert.get());
  const ASN1_OBJECT *sigObj = nullptr;
  X509_ALGOR_get0(&sigObj, nullptr, nullptr, sigAlg);
  impl->signatureOid = OidText(sigObj);
  impl->signatureParams = AlgorithmParams(sigAlg);

  X509_PUBKEY *pub = X509_get_X509_PUBKEY(cert.get());
  ASN1_OBJECT *keyObj = nullptr;
  const unsigned char *keyBits = nullptr;
  int keyBitsLength = 0;
  X509_ALGOR *keyAlg = nullptr;
  if (pub == nullptr || X509_PUBKEY_get0_param(&keyObj, &keyBits, &keyBitsLength, &keyAlg, pub) != 1) return nullptr;
  impl->keyAlgorithmOid = OidText(keyObj);
  impl->keyAlgorithmParams = AlgorithmParams(keyAlg);
  impl->publicKey.assign(keyBits, keyBits + keyBitsLength);

  int extensionCount = X509_get_ext_count(cert.get());
  for (int i = 0; i < extensionCount; ++i) {
    X509_EXTENSION *ext = X509_get_ext(cert.get(), i);
    impl->extensionOids.push_back(OidText(X509_EXTENSION_get_object(ext)));
    const ASN1_OCTET_STRING *value = X509_EXTENSION_get_data(ext);
    impl->extensionValues.emplace_back(value->data, value->data + value->length);
  }
  for (int i = 0; i < extensionCount; ++i) {
    CERT_EXTENSION e;
    e.pszObjId = const_cast<char *>(impl->extensionOids[i].c_str());
    e.fCritical = X509_EXTENSION_get_critical(X509_get_ext(cert.get(), i)) ? TRUE : FALSE;
    e.Value.cbData = static_cast<DWORD>(impl->extensionValues[i].size());
    e.Value.pbData = impl->extensionValues[i].data();
    impl->extensions.push_back(e);
  }

  auto blob = [](Bytes &b) {
    CRYPT_INTEGER_BLOB out;
    out.cbData = static_cast<DWORD>(b.size());
    out.pbData = b.empty() ? nullptr : b.data();
    return out;
  };
  CERT_INFO &info = impl->info;
  memset(&info, 0, sizeof info);
  info.dwVersion = static_cast<DWORD>(X509_get_version(cert.get()));
  info.SerialNumber = blob(impl->serial);
  info.SignatureAlgorithm.pszObjId = const_cast<char *>(impl->signatureOid.c_str());
  info.SignatureAlgorithm.Parameters = blob(impl->signatureParams);
  info.Issuer = blob(impl->issuer);
  info.NotBefore = ToFileTime(X509_get0_notBefore(cert.get()));
  info.NotAfter = ToFileTime(X509_get0_notAfter(cert.get()));
  info.Subject = blob(impl->subject);
  info.SubjectPublicKeyInfo.Algorithm.pszObjId = const_cast<char *>(impl->keyAlgorithmOid.c_str());
  info.SubjectPublicKeyInfo.Algorithm.Parameters = blob(impl->keyAlgorithmParams);
  info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(impl->publicKey.size());
  info.SubjectPublicKeyInfo.PublicKey.pbData = impl->publicKey.data();
  info.cExtension = static_cast<DWORD>(impl->extensions.size());
  info.rgExtension = impl->extensions.empty() ? nullptr : impl->extensions.data();

  impl->context.dwCertEncodingType = X509_ASN_ENCODING;
  impl->context.pbCertEncoded = impl->der.data();
  impl->context.cbCertEncoded = static_cast<DWORD>(impl->der.size());
  impl->context.pCertInfo = &impl->info;
  impl->context.hCertStore = store;
  return impl;
}

BIO *OpenStoreFile(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // A store file may be a private key: it is read through no stdio buffer,
  // into a memory BIO whose storage is wiped when it is freed.
  constexpr off_t kLargestStoreFile = 16 << 20;
  struct stat st;
  BIO *bio = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kLargestStoreFile && fcntl(fd, F_SETFL, 0) == 0) {
    bio = BIO_new(BIO_s_secmem());
  }
  uint8_t chunk[4096];
  bool ok = bio != nullptr;
  for (off_t total = 0; ok;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    total += n;
    ok = total <= kLargestStoreFile && BIO_write(bio, chunk, static_cast<int>(n)) == n;
  }
  OPENSSL_cleanse(chunk, sizeof chunk);
  close(fd);
  if (!ok) {
    BIO_free(bio);
    return nullptr;
  }
  return bio;
}

namespace {

bool EndsWith(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  if (s.size() < n) return false;
  return strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

void LoadFile(const std::string &path, CertStore &store) {
  BioPtr bio(OpenStoreFile(path));
  if (!bio) return;
  std::string keyPath = path.substr(0, path.rfind('.')) + ".key";
  if (access(keyPath.c_str(), R_OK) != 0) keyPath.clear();
  auto add = [&](X509 *cert) {
    Bytes der;
    if (ToDer(cert, i2d_X509, der)) store.entries.push_back({std::move(der), keyPath});
  };
  bool any = false;
  while (X509 *cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    X509Ptr owned(cert);
    add(cert);
    any = true;
  }
  if (!any) {
    // Not PEM: try one DER certificate.
    BioPtr der(OpenStoreFile(path));
    if (der) {
      X509Ptr cert(d2i_X509_bio(der.get(), nullptr));
      if (cert) add(cert.get());
    }
  }
  ERR_clear_error();
}

// A certificate without a <base name>.key takes a private key from another
// file of the store whose public key is the certificate's (a key kept as
// name.key.pem beside name.cert.pem, say).
void MatchKeys(const std::vector<std::string> &keyFiles, CertStore &store) {
  std::vector<std::pair<std::string, EvpPkeyPtr>> keys;
  bool loaded = false;
  for (StoreEntry &entry : store.entries) {
    if (!entry.keyPath.empty()) continue;
    if (!loaded) {
      for (const std::string &file : keyFiles) {
        BioPtr bio(OpenStoreFile(file));
        EVP_PKEY *key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
        if (key != nullptr) keys.emplace_back(file, EvpPkeyPtr(key));
      }
      ERR_clear_error();
      loaded = true;
    }
    const uint8_t *p = entry.der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(entry.der.size())));
    for (const auto &key : keys) {
      if (cert && X509_check_private_key(cert.get(), key.second.get()) == 1) {
        entry.keyPath = key.first;
        break;
      }
    }
    ERR_clear_error();
  }
}

// CertCompareIntegerBlob: equal as integers, ignoring the insignificant
// trailing 0x00 (or 0xFF) bytes of the little-endian form.
Bytes Trimmed(const uint8_t *p, DWORD n) {
  Bytes b(p, p + n);
  while (b.size() > 1 && ((b.back() == 0x00 && b[b.size() - 2] < 0x80) ||
                          (b.back() == 0xFF && b[b.size() - 2] >= 0x80))) {
    b.pop_back();
  }
  return b;
}

// Whether der is the certificate whose SHA-1 hash is given.
bool HashMatches(const Bytes &der, const CRYPT_HASH_BLOB &hash) {
  uint8_t digest[20];
  unsigned int size = 0;
  return hash.cbData == sizeof digest && hash.pbData != nullptr &&
         EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha1(), nullptr) == 1 && size == sizeof digest &&
         memcmp(digest, hash.pbData, sizeof digest) == 0;
}

bool Matches(const CertContextImpl &c, const CERT_ISSUER_SERIAL_NUMBER &id) {
  if (id.Issuer.cbData != c.issuer.size() ||
      (id.Issuer.cbData != 0 && memcmp(id.Issuer.pbData, c.issuer.data(), c.issuer.size()) != 0)) {
    return false;
  }
  if (id.SerialNumber.cbData != 0 && id.SerialNumber.pbData == nullptr) return false;
  return Trimmed(id.SerialNumber.pbData, id.SerialNumber.cbData) ==
         Trimmed(c.serial.data(), static_cast<DWORD>(c.serial.size()));
}

}  // namespace
}  // namespace ambercrypt::posix

using namespace ambercrypt::posix;

extern "C" {

HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol) {
  (void)hProv;
  if (szSubsystemProtocol == nullptr || szSubsystemProtocol[0] == '\0' ||
      strpbrk(szSubsystemProtocol, "/\\.") != nullptr) {
    FailWith(E_INVALIDARG);
    return nullptr;
  }
  std::string name(szSubsystemProtocol);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return toupper(c); });
  auto *store = new (std::nothrow) CertStore;
  if (store == nullptr) {
    FailWith(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // A store directory that does not exist is an empty store, as on Windows;
  // so is one in a state root that fails its checks.
  StateDirectory root, certs, found;
  bool safe = name.find('/') == std::string::npos && name != "." && name != ".." &&
              OpenStateRoot(false, &root) == ERROR_SUCCESS &&
              OpenStateDirectory(root, "certs", 0755, false, &certs) == ERROR_SUCCESS &&
              OpenStateDirectory(certs, name.c_str(), 0755, false, &found) == ERROR_SUCCESS;
  const std::string &dir = found.path;
  if (DIR *d = safe ? opendir(dir.c_str()) : nullptr) {
    std::vector<std::string> files, keyFiles;
    while (struct dirent *e = readdir(d)) {
      std::string file = e->d_name;
      if (EndsWith(file, ".pem") || EndsWith(file, ".crt") || EndsWith(file, ".cer") || EndsWith(file, ".der")) {
        files.push_back(dir + "/" + file);
      }
      if (EndsWith(file, ".key") || EndsWith(file, ".pem")) keyFiles.push_back(dir + "/" + file);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    std::sort(keyFiles.begin(), keyFiles.end());
    for (const std::string &f : files) LoadFile(f, *store);
    MatchKeys(keyFiles, *store);
  }
  SetLastError(ERROR_SUCCESS);
  return store;
}

BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  (void)dwFlags;
  if (hCertStore == nullptr) return TRUE;
  CertStore *store = AsStore(hCertStore);
  if (store == nullptr) return FailWith(E_INVALIDARG);
  delete store;
  return TRUE;
}

PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags,
                                                 DWORD dwFindType, const void *pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext) {
  (void)dwCertEncodingType;
  (void)dwFindFlags;
  CertStore *store = AsStore(hCertStore);
  size_t start = 0;
  if (pPrevCertContext != nullptr) {
    CertContextImpl *prev = AsContext(pPrevCertContext);
    if (prev != nullptr) start = prev->index + 1;
    CertFreeCertificateContext(pPrevCertContext);  // CryptoAPI frees the previous match
  }
  if (store == nullptr || pvFindPara == nullptr) {
    FailWith(E_INVALIDARG);
    return nullptr;
  }
  if (dwFindType != CERT_FIND_CERT_ID) {
    FailWith(E_NOTIMPL);
    return nullptr;
  }
  const CERT_ID *id = static_cast<const CERT_ID *>(pvFindPara);
  // Windows also finds a certificate by its key identifier; ours does not.
  if (id->dwIdChoice == CERT_ID_KEY_IDENTIFIER) {
    FailWith(E_NOTIMPL);
    return nullptr;
  }
  const bool byHash = id->dwIdChoice == CERT_ID_SHA1_HASH;
  // Any other kind of identifier finds nothing, as on Windows.
  const bool known = byHash || id->dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER;
  for (size_t i = start; known && i < store->entries.size(); ++i) {
    const StoreEntry &entry = store->entries[i];
    if (byHash && !HashMatches(entry.der, id->HashId)) continue;
    auto impl = MakeContext(entry.der, entry.keyPath, hCertStore, i);
    if (impl && (byHash || Matches(*impl, id->IssuerSerialNumber))) {
      SetLastError(ERROR_SUCCESS);
      return &impl.release()->context;
    }
  }
  FailWith(CRYPT_E_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (pCertContext == nullptr) return TRUE;
  CertContextImpl *impl = AsContext(pCertContext);
  if (impl == nullptr) return FailWith(E_INVALIDARG);
  delete impl;
  return TRUE;
}

}  // extern "C"
