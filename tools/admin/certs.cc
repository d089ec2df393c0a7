// certs.cc: certificates for ambercrypt-admin, what both targets share (see
// certs.h); certs_posix.cc and certs_win32.cc read certificates with OpenSSL
// and CryptoAPI.
#include "tools/admin/certs.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "crypto/ccrypt.h"
#include "platform/win32_api.h"
#include "tools/admin/certs_internal.h"

namespace ambercrypt::admin {

namespace {

std::string Hex(const uint8_t *data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  return text;
}

}  // namespace

std::string NormalisedThumbprint(const std::string &text) {
  std::string hex;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hex;
}

bool ReadWhole(const std::string &path, std::string *data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  *data = s.str();
  return true;
}

bool Thumbprint(CertificateInfo *info) {
  CCrypt crypt;
  uint8_t digest[20];
  uint32_t length = sizeof digest;
  if (crypt.Hash(info->der.data(), static_cast<uint32_t>(info->der.size()), digest, &length) != ERROR_SUCCESS) {
    return false;
  }
  info->thumbprint = Hex(digest, length);
  return true;
}

std::string SerialText(const std::vector<uint8_t> &serialLittleEndian) {
  std::vector<uint8_t> big(serialLittleEndian.rbegin(), serialLittleEndian.rend());
  return Hex(big.data(), big.size());
}

bool IsThumbprint(const std::string &text) {
  std::string hex = NormalisedThumbprint(text);
  return hex.size() == 40 && std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(c) != 0; });
}


bool FindRootByIssuerSerial(const std::vector<uint8_t> &issuer, const std::vector<uint8_t> &serial,
                            CertificateInfo *info) {
  if (issuer.empty() || serial.empty()) return false;
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  if (store == nullptr) return false;
  CERT_ID id{};
  id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  id.IssuerSerialNumber.Issuer.cbData = static_cast<DWORD>(issuer.size());
  id.IssuerSerialNumber.Issuer.pbData = const_cast<BYTE *>(issuer.data());
  id.IssuerSerialNumber.SerialNumber.cbData = static_cast<DWORD>(serial.size());
  id.IssuerSerialNumber.SerialNumber.pbData = const_cast<BYTE *>(serial.data());
  PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                    CERT_FIND_CERT_ID, &id, nullptr);
  bool ok = false;
  if (found != nullptr) {
    std::string der(reinterpret_cast<const char *>(found->pbCertEncoded), found->cbCertEncoded);
    CertFreeCertificateContext(found);
    ok = DescribeDer(der, info);
  }
  CertCloseStore(store, 0);
  return ok;
}

}  // namespace ambercrypt::admin
