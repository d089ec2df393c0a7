// admin_password.h: the administrator gate's rules moved below the features,
// to core/admin_password.h; this name stays only for the administration tool,
// which includes it. Nothing in the library includes it: include the core
// header instead.
#ifndef AMBERCRYPT_ADMIN_ADMIN_PASSWORD_H_
#define AMBERCRYPT_ADMIN_ADMIN_PASSWORD_H_

#include "core/admin_password.h"

#endif  // AMBERCRYPT_ADMIN_ADMIN_PASSWORD_H_
