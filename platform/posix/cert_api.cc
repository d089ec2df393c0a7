// cert_api.cc: certificate stores and PKCS#7 signed messages on OpenSSL 3.
//
// A system store is the directory certs/<NAME>/ under the state root: each
// .pem/.crt/.cer/.der file holds certificates, and a certificate's private key,
// when the store has it, is the PEM file <base name>.key beside it (failing
// that, any PEM private key in the directory that matches the certificate). Contexts
// carry CERT_INFO as CryptoAPI fills it (serial number least significant byte
// first). Signed messages are encoded here byte for byte as CryptSignMessage
// encodes them: SignedData version 1, the hash OID as given with NULL
// parameters, no attributes, rsaEncryption, PKCS#1 v1.5 over SHA-1.
#include <dirent.h>
#include <strings.h>
#include <unistd.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/openssl_error.h"
#include "platform/posix/state_root.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kStoreMagic = 0x53544f52;    // "STOR"
constexpr uint32_t kContextMagic = 0x43455254;  // "CERT"
const char kSha1RsaOid[] = szOID_RSA_SHA1RSA;
const char kSha1Oid[] = szOID_OIWSEC_sha1;
constexpr HRESULT kNotImplemented = static_cast<HRESULT>(0x80004001L);  // E_NOTIMPL
constexpr HRESULT kNoSigner = static_cast<HRESULT>(0x8009200EL);        // CRYPT_E_NO_SIGNER

struct StoreEntry {
  Bytes der;
  std::string keyPath;  // empty when the store holds no key for it
};

struct CertStore {
  uint32_t magic = kStoreMagic;
  std::vector<StoreEntry> entries;
};

// A context owns everything its CERT_INFO points into; it outlives its store.
struct CertContextImpl {
  CERT_CONTEXT context;  // first, so the public pointer is the impl's address
  uint32_t magic = kContextMagic;
  size_t index = 0;      // position in the store it was found in
  std::string keyPath;
  Bytes der, serial, issuer, subject, signatureParams, keyAlgorithmParams, publicKey;
  std::string signatureOid, keyAlgorithmOid;
  std::vector<std::string> extensionOids;
  std::vector<Bytes> extensionValues;
  std::vector<CERT_EXTENSION> extensions;
  CERT_INFO info;
};

CertStore *AsStore(HCERTSTORE h) {
  auto *s = static_cast<CertStore *>(h);
  return s != nullptr && s->magic == kStoreMagic ? s : nullptr;
}

CertContextImpl *AsContext(PCCERT_CONTEXT c) {
  auto *impl = reinterpret_cast<CertContextImpl *>(const_cast<CERT_CONTEXT *>(c));
  return impl != nullptr && impl->magic == kContextMagic ? impl : nullptr;
}

// ---- DER encoding ---------------------------------------------------------

void AppendLength(Bytes &out, size_t n) {
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
    return;
  }
  uint8_t digits[8];
  int count = 0;
  for (size_t v = n; v != 0; v >>= 8) digits[count++] = static_cast<uint8_t>(v);
  out.push_back(static_cast<uint8_t>(0x80 | count));
  while (count > 0) out.push_back(digits[--count]);
}

Bytes Tlv(uint8_t tag, const Bytes &content) {
  Bytes out{tag};
  AppendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bool EncodeOid(const char *text, Bytes &out) {
  ASN1_OBJECT *obj = OBJ_txt2obj(text, 1);
  if (obj == nullptr) return false;
  int n = i2d_ASN1_OBJECT(obj, nullptr);
  bool ok = n > 0;
  if (ok) {
    out.resize(static_cast<size_t>(n));
    uint8_t *p = out.data();
    ok = i2d_ASN1_OBJECT(obj, &p) == n;
  }
  ASN1_OBJECT_free(obj);
  return ok;
}

// AlgorithmIdentifier with the given parameters, or NULL when there are none.
bool EncodeAlgorithm(const char *oid, const CRYPT_OBJID_BLOB &params, Bytes &out) {
  Bytes encodedOid;
  if (!EncodeOid(oid, encodedOid)) return false;
  Bytes p = params.cbData != 0 ? Bytes(params.pbData, params.pbData + params.cbData) : Bytes{0x05, 0x00};
  out = Tlv(0x30, Concat({encodedOid, p}));
  return true;
}

template <typename T, typename F>
bool ToDer(T *object, F encode, Bytes &out) {
  int n = encode(object, nullptr);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  uint8_t *p = out.data();
  return encode(object, &p) == n;
}

std::string OidText(const ASN1_OBJECT *obj) {
  char text[128];
  int n = OBJ_obj2txt(text, sizeof text, obj, 1);
  return n > 0 && n < static_cast<int>(sizeof text) ? std::string(text) : std::string();
}

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

bool EndsWith(const std::string &s, const char *suffix) {
  size_t n = strlen(suffix);
  if (s.size() < n) return false;
  return strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

void LoadFile(const std::string &path, CertStore &store) {
  BioPtr bio(BIO_new_file(path.c_str(), "rb"));
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
    BioPtr der(BIO_new_file(path.c_str(), "rb"));
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
        BioPtr bio(BIO_new_file(file.c_str(), "rb"));
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

bool Matches(const CertContextImpl &c, const CERT_ISSUER_SERIAL_NUMBER &id) {
  if (id.Issuer.cbData != c.issuer.size() ||
      (id.Issuer.cbData != 0 && memcmp(id.Issuer.pbData, c.issuer.data(), c.issuer.size()) != 0)) {
    return false;
  }
  if (id.SerialNumber.cbData != 0 && id.SerialNumber.pbData == nullptr) return false;
  return Trimmed(id.SerialNumber.pbData, id.SerialNumber.cbData) ==
         Trimmed(c.serial.data(), static_cast<DWORD>(c.serial.size()));
}

// The DER of IssuerAndSerialNumber taken from the certificate itself.
bool IssuerAndSerial(const CertContextImpl &c, Bytes &out) {
  const uint8_t *p = c.der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(c.der.size())));
  Bytes serial;
  if (!cert || !ToDer(const_cast<ASN1_INTEGER *>(X509_get0_serialNumber(cert.get())), i2d_ASN1_INTEGER, serial)) {
    return false;
  }
  out = Tlv(0x30, Concat({c.issuer, serial}));
  return true;
}

bool IsSha1Oid(const char *oid) { return strcmp(oid, kSha1RsaOid) == 0 || strcmp(oid, kSha1Oid) == 0; }

bool RsaSha1Sign(const std::string &keyPath, const uint8_t digest[20], Bytes &signature) {
  BioPtr bio(BIO_new_file(keyPath.c_str(), "rb"));
  if (!bio) return false;
  EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) return false;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  size_t size = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &size, digest, 20) != 1) {
    return false;
  }
  signature.resize(size);
  if (EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest, 20) != 1) return false;
  signature.resize(size);
  return true;
}

bool RsaSha1Verify(X509 *cert, const uint8_t digest[20], const uint8_t *sig, size_t sigLength) {
  EVP_PKEY *key = X509_get0_pubkey(cert);
  if (key == nullptr) return false;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1 &&
         EVP_PKEY_verify(ctx.get(), sig, sigLength, digest, 20) == 1;
}

BOOL CopyOut(const Bytes &data, BYTE *out, DWORD *outLength) {
  DWORD size = static_cast<DWORD>(data.size());
  if (out == nullptr) {
    *outLength = size;
    return TRUE;
  }
  if (*outLength < size) {
    *outLength = size;
    return FailWith(ERROR_MORE_DATA);
  }
  if (size != 0) memcpy(out, data.data(), size);
  *outLength = size;
  return TRUE;
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
  // A store directory that does not exist is an empty store, as on Windows.
  std::string dir = StateRoot() + "/certs/" + name;
  if (DIR *d = opendir(dir.c_str())) {
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
  store->magic = 0;
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
    FailWith(kNotImplemented);
    return nullptr;
  }
  const CERT_ID *id = static_cast<const CERT_ID *>(pvFindPara);
  if (id->dwIdChoice != CERT_ID_ISSUER_SERIAL_NUMBER) {
    FailWith(kNotImplemented);
    return nullptr;
  }
  for (size_t i = start; i < store->entries.size(); ++i) {
    auto impl = MakeContext(store->entries[i].der, store->entries[i].keyPath, hCertStore, i);
    if (impl && Matches(*impl, id->IssuerSerialNumber)) {
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
  impl->magic = 0;
  delete impl;
  return TRUE;
}

BOOL WINAPI CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature, DWORD cToBeSigned,
                             const BYTE *rgpbToBeSigned[], DWORD rgcbToBeSigned[], BYTE *pbSignedBlob,
                             DWORD *pcbSignedBlob) {
  if (pSignPara == nullptr || pSignPara->cbSize != sizeof(CRYPT_SIGN_MESSAGE_PARA) || pcbSignedBlob == nullptr ||
      (pSignPara->dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0 || pSignPara->HashAlgorithm.pszObjId == nullptr ||
      (cToBeSigned != 0 && (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr)) ||
      (!fDetachedSignature && cToBeSigned != 1)) {
    return FailWith(E_INVALIDARG);
  }
  if (pSignPara->cMsgCrl != 0 || pSignPara->cAuthAttr != 0 || pSignPara->cUnauthAttr != 0 ||
      pSignPara->dwInnerContentType != 0 || pSignPara->pvHashAuxInfo != nullptr) {
    return FailWith(kNotImplemented);
  }
  if (!IsSha1Oid(pSignPara->HashAlgorithm.pszObjId)) return FailWith(NTE_BAD_ALGID);
  CertContextImpl *signer = AsContext(pSignPara->pSigningCert);
  if (signer == nullptr) return FailWith(E_INVALIDARG);
  if (signer->keyPath.empty()) return FailWith(CRYPT_E_NO_KEY_PROPERTY);

  Bytes content;
  for (DWORD i = 0; i < cToBeSigned; ++i) {
    if (rgcbToBeSigned[i] != 0) {
      content.insert(content.end(), rgpbToBeSigned[i], rgpbToBeSigned[i] + rgcbToBeSigned[i]);
    }
  }
  uint8_t digest[20];
  unsigned int digestSize = 0;
  if (EVP_Digest(content.data(), content.size(), digest, &digestSize, EVP_sha1(), nullptr) != 1) {
    return FailWith(NTE_FAIL);
  }
  Bytes signature;
  if (!RsaSha1Sign(signer->keyPath, digest, signature)) return FailWith(NTE_BAD_KEY);

  Bytes digestAlgorithm, rsaAlgorithm, dataOid, signedDataOid, signerId;
  CRYPT_OBJID_BLOB none{0, nullptr};
  if (!EncodeAlgorithm(pSignPara->HashAlgorithm.pszObjId, pSignPara->HashAlgorithm.Parameters, digestAlgorithm) ||
      !EncodeAlgorithm(szOID_RSA_RSA, none, rsaAlgorithm) || !EncodeOid(szOID_RSA_data, dataOid) ||
      !EncodeOid(szOID_RSA_signedData, signedDataOid) || !IssuerAndSerial(*signer, signerId)) {
    return FailWith(NTE_FAIL);
  }
  const Bytes version{0x02, 0x01, 0x01};
  Bytes contentInfo = fDetachedSignature ? Tlv(0x30, dataOid)
                                         : Tlv(0x30, Concat({dataOid, Tlv(0xa0, Tlv(0x04, content))}));
  Bytes certificates;
  for (DWORD i = 0; i < pSignPara->cMsgCert; ++i) {
    CertContextImpl *c = AsContext(pSignPara->rgpMsgCert[i]);
    if (c == nullptr) return FailWith(E_INVALIDARG);
    certificates.insert(certificates.end(), c->der.begin(), c->der.end());
  }
  Bytes signerInfo =
      Tlv(0x30, Concat({version, signerId, digestAlgorithm, rsaAlgorithm, Tlv(0x04, signature)}));
  Bytes signedData = Concat({version, Tlv(0x31, digestAlgorithm), contentInfo});
  if (pSignPara->cMsgCert != 0) signedData = Concat({signedData, Tlv(0xa0, certificates)});
  signedData = Concat({signedData, Tlv(0x31, signerInfo)});
  Bytes message = Tlv(0x30, Concat({signedDataOid, Tlv(0xa0, Tlv(0x30, signedData))}));
  SecureZeroMemory(content.data(), content.size());
  return CopyOut(message, pbSignedBlob, pcbSignedBlob);
}

BOOL WINAPI CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                        const BYTE *pbSignedBlob, DWORD cbSignedBlob, BYTE *pbDecoded,
                                        DWORD *pcbDecoded, PCCERT_CONTEXT *ppSignerCert) {
  if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
  if (pVerifyPara == nullptr || pVerifyPara->cbSize != sizeof(CRYPT_VERIFY_MESSAGE_PARA) || pbSignedBlob == nullptr ||
      cbSignedBlob == 0) {
    return FailWith(E_INVALIDARG);
  }
  if (pVerifyPara->pfnGetSignerCertificate != nullptr) return FailWith(kNotImplemented);
  const uint8_t *p = pbSignedBlob;
  Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(cbSignedBlob)));
  if (!p7) return FailWith(CRYPT_E_ASN1_BADTAG);
  if (!PKCS7_type_is_signed(p7.get())) return FailWith(CRYPT_E_UNEXPECTED_MSG_TYPE);
  PKCS7_SIGNED *sd = p7->d.sign;
  if (sd == nullptr || sd->contents == nullptr || !PKCS7_type_is_data(sd->contents) ||
      sd->contents->d.data == nullptr) {
    return FailWith(CRYPT_E_UNEXPECTED_MSG_TYPE);
  }
  STACK_OF(PKCS7_SIGNER_INFO) *signers = PKCS7_get_signer_info(p7.get());
  if (signers == nullptr || dwSignerIndex >= static_cast<DWORD>(sk_PKCS7_SIGNER_INFO_num(signers))) {
    return FailWith(kNoSigner);
  }
  PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(signers, static_cast<int>(dwSignerIndex));
  X509 *signerCert = nullptr;
  for (int i = 0; sd->cert != nullptr && i < sk_X509_num(sd->cert); ++i) {
    X509 *c = sk_X509_value(sd->cert, i);
    if (X509_NAME_cmp(X509_get_issuer_name(c), si->issuer_and_serial->issuer) == 0 &&
        ASN1_INTEGER_cmp(X509_get0_serialNumber(c), si->issuer_and_serial->serial) == 0) {
      signerCert = c;
      break;
    }
  }
  if (signerCert == nullptr) return FailWith(CRYPT_E_NOT_FOUND);
  const ASN1_OBJECT *digestObj = nullptr;
  X509_ALGOR_get0(&digestObj, nullptr, nullptr, si->digest_alg);
  if (!IsSha1Oid(OidText(digestObj).c_str())) return FailWith(NTE_BAD_ALGID);

  const ASN1_OCTET_STRING *data = sd->contents->d.data;
  uint8_t digest[20];
  unsigned int digestSize = 0;
  if (EVP_Digest(data->data, static_cast<size_t>(data->length), digest, &digestSize, EVP_sha1(), nullptr) != 1) {
    return FailWith(NTE_FAIL);
  }
  if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
    // With authenticated attributes the signature covers them, and they hold
    // the content's digest.
    ASN1_TYPE *md = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
    if (md == nullptr || md->type != V_ASN1_OCTET_STRING || md->value.octet_string->length != 20 ||
        memcmp(md->value.octet_string->data, digest, 20) != 0) {
      return FailWith(CRYPT_E_HASH_VALUE);
    }
    unsigned char *attrs = nullptr;
    int attrsLength =
        ASN1_item_i2d(reinterpret_cast<ASN1_VALUE *>(si->auth_attr), &attrs, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (attrsLength <= 0) return FailWith(NTE_FAIL);
    bool ok = EVP_Digest(attrs, static_cast<size_t>(attrsLength), digest, &digestSize, EVP_sha1(), nullptr) == 1;
    OPENSSL_free(attrs);
    if (!ok) return FailWith(NTE_FAIL);
  }
  if (!RsaSha1Verify(signerCert, digest, si->enc_digest->data, static_cast<size_t>(si->enc_digest->length))) {
    return FailWith(NTE_BAD_SIGNATURE);
  }
  if (ppSignerCert != nullptr) {
    Bytes der;
    if (ToDer(signerCert, i2d_X509, der)) {
      auto impl = MakeContext(der, std::string(), nullptr, 0);
      if (impl) *ppSignerCert = &impl.release()->context;
    }
  }
  if (pcbDecoded == nullptr) return TRUE;
  Bytes content(data->data, data->data + data->length);
  BOOL result = CopyOut(content, pbDecoded, pcbDecoded);
  SecureZeroMemory(content.data(), content.size());
  return result;
}

}  // extern "C"
