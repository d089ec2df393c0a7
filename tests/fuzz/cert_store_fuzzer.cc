// Certificates given to the "ROOT" store: the input's certificate planted in
// certs/ROOT as a PEM file, as the PEM of its bytes, or as DER (.der, .crt,
// .cer), with or without a private key file beside it, then the store opened
// and searched as the library searches it (by issuer and serial number,
// through every match), found and used for signing through CCrypt. The
// planted files are removed after each input.
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/ccrypt.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_store.h"
#include "fuzz/fuzz_target.h"
#include "platform/win32_api.h"

namespace {

using ambercrypt::fuzz::FuzzInput;

struct Id {
  std::vector<uint8_t> issuer, serial;
  CERT_ISSUER_SERIAL_NUMBER get() {
    CERT_ISSUER_SERIAL_NUMBER id;
    id.Issuer.cbData = static_cast<DWORD>(issuer.size());
    id.Issuer.pbData = issuer.empty() ? nullptr : issuer.data();
    id.SerialNumber.cbData = static_cast<DWORD>(serial.size());
    id.SerialNumber.pbData = serial.empty() ? nullptr : serial.data();
    return id;
  }
};

std::string Pem(const char *label, const std::vector<uint8_t> &der) {
  std::string out = std::string("-----BEGIN ") + label + "-----\n";
  std::vector<unsigned char> b64(4 * ((der.size() + 2) / 3) + 1);
  int n = EVP_EncodeBlock(b64.data(), der.data(), static_cast<int>(der.size()));
  for (int i = 0; i < n; i += 64) out.append(reinterpret_cast<const char *>(b64.data()) + i, std::min(64, n - i)) += "\n";
  return out + "-----END " + label + "-----\n";
}

void Plant(const std::string &path, const std::string &bytes, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) abort();
  if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) abort();
  close(fd);
}

// Every certificate OpenSSL reads from the bytes (PEM, else one DER).
std::vector<Id> IdsOf(const std::string &bytes) {
  std::vector<Id> ids;
  auto add = [&](X509 *cert) {
    Id id;
    unsigned char *der = nullptr;
    int n = i2d_X509_NAME(X509_get_issuer_name(cert), &der);
    if (n > 0) id.issuer.assign(der, der + n);
    OPENSSL_free(der);
    const ASN1_INTEGER *serial = X509_get0_serialNumber(cert);
    id.serial.assign(serial->data, serial->data + serial->length);
    std::reverse(id.serial.begin(), id.serial.end());
  // As DER holds it: a leading zero keeps a high bit from reading as a sign.
  if (!id.serial.empty() && id.serial.back() >= 0x80) id.serial.push_back(0);
    ids.push_back(id);
  };
  BIO *bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  while (X509 *cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr) {
    add(cert);
    X509_free(cert);
  }
  BIO_free(bio);
  if (ids.empty()) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data());
    if (X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()))) {
      add(cert);
      X509_free(cert);
    }
  }
  return ids;
}

// Reads every byte a certificate context points at, so a bad pointer or
// length shows.
uint32_t Touch(PCCERT_CONTEXT c) {
  uint32_t sum = 0;
  auto blob = [&sum](const uint8_t *p, DWORD n) {
    for (DWORD i = 0; i < n; ++i) sum += p[i];
  };
  blob(c->pbCertEncoded, c->cbCertEncoded);
  const CERT_INFO *info = c->pCertInfo;
  blob(info->SerialNumber.pbData, info->SerialNumber.cbData);
  blob(info->Issuer.pbData, info->Issuer.cbData);
  blob(info->Subject.pbData, info->Subject.cbData);
  blob(info->SubjectPublicKeyInfo.PublicKey.pbData, info->SubjectPublicKeyInfo.PublicKey.cbData);
  sum += static_cast<uint32_t>(strlen(info->SignatureAlgorithm.pszObjId));
  for (DWORD i = 0; i < info->cExtension; ++i) {
    sum += static_cast<uint32_t>(strlen(info->rgExtension[i].pszObjId));
    blob(info->rgExtension[i].Value.pbData, info->rgExtension[i].Value.cbData);
  }
  return sum;
}

volatile uint32_t g_sink;

void Search(HCERTSTORE store, CERT_ISSUER_SERIAL_NUMBER issuerSerial) {
  CERT_ID id;
  memset(&id, 0, sizeof id);
  id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  id.IssuerSerialNumber = issuerSerial;
  PCCERT_CONTEXT found = nullptr;
  int guard = 0;
  while ((found = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_CERT_ID, &id,
                                             found)) != nullptr) {
    g_sink = g_sink + Touch(found);
    if (++guard > 64) {
      CertFreeCertificateContext(found);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  ambercrypt::fuzz::SetUpStore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ambercrypt::fuzz::SetUpStore();
  FuzzInput in(data, size);
  uint8_t selector = in.Byte();
  std::vector<uint8_t> key = in.Blob(4096);
  std::vector<uint8_t> cert = in.Rest();
  std::string raw(cert.begin(), cert.end());
  const std::string dir = ambercrypt::fuzz::StoreRoot() + "/certs/ROOT/";
  std::vector<std::string> planted;
  auto plant = [&](const std::string &name, const std::string &bytes, mode_t mode) {
    Plant(dir + name, bytes, mode);
    planted.push_back(dir + name);
  };
  std::string certFile;
  switch (selector & 3) {
    case 0:
      plant("fuzz.pem", certFile = raw, 0644);
      break;
    case 1:
      plant("fuzz.pem", certFile = Pem("CERTIFICATE", cert), 0644);
      break;
    case 2:
      plant("fuzz.der", certFile = raw, 0644);
      break;
    default:
      plant("fuzz.crt", certFile = raw, 0644);
      plant("fuzz2.cer", Pem("CERTIFICATE", cert), 0644);
      break;
  }
  if (selector & 4) {
    std::string keyText(key.begin(), key.end());
    if (selector & 8) keyText = Pem("PRIVATE KEY", key);
    // Beside the certificate, or a key file of the store any certificate may match.
    plant((selector & 16) ? "fuzz.key" : "other.key.pem", keyText, 0600);
  }

  std::vector<Id> ids = IdsOf(certFile);
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  if (store != nullptr) {
    Id signer;
    const IssuerSerial &s = ambercrypt::fuzz::SignerId();
    signer.issuer.assign(s.Issuer.pbData, s.Issuer.pbData + s.Issuer.cbData);
    signer.serial.assign(s.SerialNumber.pbData, s.SerialNumber.pbData + s.SerialNumber.cbData);
    Search(store, signer.get());
    for (Id &id : ids) Search(store, id.get());
    CertCloseStore(store, 0);
  }
  // As the library finds and signs with a certificate.
  for (Id &id : ids) {
    CERT_ISSUER_SERIAL_NUMBER named = id.get();
    ambercrypt::CCrypt crypt;
    if (crypt.FindCertificate(&named) != 0) continue;
    const uint8_t content[] = "content";
    uint32_t length = 0;
    if (crypt.SignMessage(&named, content, sizeof content, nullptr, &length) == 0 && length > 0 && (selector & 32)) {
      std::vector<uint8_t> message(length);
      if (crypt.SignMessage(&named, content, sizeof content, message.data(), &length) == 0) {
        std::vector<uint8_t> back(sizeof content);
        uint32_t backLength = static_cast<uint32_t>(back.size());
        crypt.VerifyMessage(&named, message.data(), length, back.data(), &backLength);
      }
    }
  }
  for (const std::string &path : planted) unlink(path.c_str());
  return 0;
}
