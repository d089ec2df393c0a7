// certs_internal.h: what certs.cc and each target's certs_*.cc share.
// Internal to tools/admin/certs*.
#ifndef AMBERCRYPT_TOOLS_ADMIN_CERTS_INTERNAL_H_
#define AMBERCRYPT_TOOLS_ADMIN_CERTS_INTERNAL_H_

#include <string>

#include "tools/admin/certs.h"

namespace ambercrypt::admin {

// A thumbprint as compared: lower-case hex, without spaces or colons.
std::string NormalisedThumbprint(const std::string &text);
// The whole of a file the administrator names.
bool ReadWhole(const std::string &path, std::string *data);
// Fills info->thumbprint from info->der.
bool Thumbprint(CertificateInfo *info);
// Describes the certificate of DER bytes (each target's reader).
bool DescribeDer(const std::string &der, CertificateInfo *info);

}  // namespace ambercrypt::admin

#endif  // AMBERCRYPT_TOOLS_ADMIN_CERTS_INTERNAL_H_
