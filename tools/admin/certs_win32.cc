// certs_win32.cc: certificates for ambercrypt-admin on Windows, read with
// CryptoAPI (see certs.h). The "ROOT" store is the system's.
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "tools/admin/certs.h"
#include "tools/admin/certs_internal.h"

namespace ambercrypt::admin {

namespace {

std::string NameText(const CERT_NAME_BLOB &name) {
  char text[1024] = {};
  CERT_NAME_BLOB copy = name;
  CertNameToStrA(X509_ASN_ENCODING, &copy, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, text, sizeof text);
  return text;
}

bool Describe(PCCERT_CONTEXT context, CertificateInfo *info) {
  const CERT_INFO *ci = context->pCertInfo;
  info->der.assign(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
  info->issuer.assign(ci->Issuer.pbData, ci->Issuer.pbData + ci->Issuer.cbData);
  info->serial.assign(ci->SerialNumber.pbData, ci->SerialNumber.pbData + ci->SerialNumber.cbData);
  info->subject = NameText(ci->Subject);
  info->issuerText = NameText(ci->Issuer);
  return Thumbprint(info);
}

bool PemToDer(const std::string &pem, std::string *der) {
  DWORD length = 0;
  if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &length,
                            nullptr, nullptr)) {
    return false;
  }
  der->assign(length, '\0');
  return CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE *>(der->data()), &length, nullptr, nullptr) != FALSE;
}

// What the system's store takes instead of this tool.
bool SystemStore(std::string *message) {
  *message = "the Windows \"ROOT\" store is the system's: use certutil -addstore Root FILE (or certmgr)";
  return false;
}

}  // namespace

bool DescribeDer(const std::string &der, CertificateInfo *info) {
  PCCERT_CONTEXT context = CertCreateCertificateContext(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.data()), static_cast<DWORD>(der.size()));
  if (context == nullptr) return false;
  bool ok = Describe(context, info);
  CertFreeCertificateContext(context);
  return ok;
}

bool ReadCertificateFile(const std::string &path, CertificateInfo *info, std::string *error) {
  std::string data;
  if (!ReadWhole(path, &data)) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string der = data;
  if (data.find("-----BEGIN") != std::string::npos && !PemToDer(data, &der)) {
    *error = path + ": not a PEM certificate";
    return false;
  }
  if (!DescribeDer(der, info)) {
    *error = path + ": not a certificate";
    return false;
  }
  return true;
}

bool FindRootByThumbprint(const std::string &thumbprint, CertificateInfo *info, std::string *error) {
  std::string hex = NormalisedThumbprint(thumbprint);
  BYTE hash[20];
  for (int i = 0; i < 20; ++i) hash[i] = static_cast<BYTE>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  CRYPT_HASH_BLOB blob{sizeof hash, hash};
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  if (store == nullptr) {
    *error = "the \"ROOT\" store cannot be opened";
    return false;
  }
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
  bool ok = found != nullptr && Describe(found, info);
  if (found != nullptr) CertFreeCertificateContext(found);
  CertCloseStore(store, 0);
  if (!ok) *error = "no certificate with thumbprint " + hex + " in \"ROOT\"";
  return ok;
}

bool ListRoot(std::vector<CertificateInfo> *, std::vector<std::string> *, std::string *error) {
  return SystemStore(error);
}

bool ImportRoot(const std::string &, const std::string &, const std::string &, std::string *message) {
  return SystemStore(message);
}

bool RemoveRoot(const std::string &, std::string *message) { return SystemStore(message); }

}  // namespace ambercrypt::admin
