#include "platform/posix/state_root.h"

#include <cstdlib>

namespace ambercrypt::posix {

std::string StateRoot() {
  const char *root = std::getenv("AMBERCRYPT_ROOT");
  if (root != nullptr && root[0] != '\0') return root;
  return "/var/lib/ambercrypt";
}

}  // namespace ambercrypt::posix
