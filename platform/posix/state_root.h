// state_root.h: where the Linux platform layer keeps its state: the directory
// named by $AMBERCRYPT_ROOT, else /var/lib/ambercrypt. It holds registry.db and
// certs/<STORE>/ (certificates as PEM or DER, private keys as <name>.key).
#ifndef AMBERCRYPT_PLATFORM_POSIX_STATE_ROOT_H_
#define AMBERCRYPT_PLATFORM_POSIX_STATE_ROOT_H_

#include <string>

namespace ambercrypt::posix {

// Read on every call, so a process (or a test) may change it between uses.
std::string StateRoot();

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_STATE_ROOT_H_
