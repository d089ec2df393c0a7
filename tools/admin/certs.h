// certs.h: what ambercrypt-admin needs of certificates. It names a
// certificate to the library by issuer and serial number, which it takes from
// a certificate file or from a certificate of the "ROOT" store found by its
// SHA-1 thumbprint; and on Linux it keeps the "ROOT" store directory itself
// (import, list, remove). Linux reads certificates with OpenSSL
// (certs_posix.cc), Windows with CryptoAPI (certs_win32.cc).
#ifndef AMBERCRYPT_TOOLS_ADMIN_CERTS_H_
#define AMBERCRYPT_TOOLS_ADMIN_CERTS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace ambercrypt::admin {

struct CertificateInfo {
  std::vector<uint8_t> der;
  std::vector<uint8_t> issuer;  // DER of the issuer name
  std::vector<uint8_t> serial;  // as CryptoAPI holds it: least significant byte first
  std::string subject;          // readable
  std::string issuerText;       // readable
  std::string thumbprint;       // SHA-1 of the DER, lower-case hex
  std::string file;             // where it was found, when it came from a store file
  bool hasKey = false;          // the store holds its private key (Linux store only)
};

// The serial number as people read it: most significant byte first, hex.
std::string SerialText(const std::vector<uint8_t> &serialLittleEndian);

// A certificate from a PEM or DER file (the first certificate of a PEM file).
bool ReadCertificateFile(const std::string &path, CertificateInfo *info, std::string *error);
// True when text looks like a thumbprint: 40 hex digits (spaces and colons allowed).
bool IsThumbprint(const std::string &text);
// The certificate of "ROOT" with this thumbprint.
bool FindRootByThumbprint(const std::string &thumbprint, CertificateInfo *info, std::string *error);
// The certificate of "ROOT" with this issuer and serial number, as the library looks it up.
bool FindRootByIssuerSerial(const std::vector<uint8_t> &issuer, const std::vector<uint8_t> &serial,
                            CertificateInfo *info);

// The "ROOT" store the tool keeps itself: on Linux the directory
// $AMBERCRYPT_ROOT/certs/ROOT. On Windows it is the system's, and each of the
// three fails with a message naming the system's tools.

// Every certificate of the store, each with the file holding it. The store
// is opened through the state root's checks; a file that is not a regular
// one (a link, a FIFO) is skipped, and why is added to notes when given. No
// "ROOT" directory is an empty store; no state root is an error.
bool ListRoot(std::vector<CertificateInfo> *certificates, std::vector<std::string> *notes, std::string *error);
// Adds the certificate (0644) and, when keyPath is not empty, its private key
// (0600) as <name>.pem and <name>.key; refuses a key that does not belong to
// the certificate and never replaces a file.
bool ImportRoot(const std::string &certificatePath, const std::string &keyPath, const std::string &name,
                std::string *message);
// Removes the file holding the certificate with this thumbprint, and its key:
// each only when it is still a regular file of the store holding what was
// checked.
bool RemoveRoot(const std::string &thumbprint, std::string *message);

}  // namespace ambercrypt::admin

#endif  // AMBERCRYPT_TOOLS_ADMIN_CERTS_H_
