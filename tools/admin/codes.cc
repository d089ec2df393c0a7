// codes.cc: ambercrypt-admin codes, every result code and its meaning (see
// command.h); the meanings are the public header's (AmberResultText).
#include <cstdio>
#include <cstring>

#include "ambercrypt/ambercrypt.h"
#include "tools/admin/command.h"

namespace ambercrypt::admin {

// Every code an export returns, as the caller receives it: the three that
// carry no internal code, then each internal code with the flag (the range
// has a gap, 2056, which the header's table does not know).
int Codes(const Options &) {
  for (uint32_t code : {AMBER_OK, AMBER_NOT_INITIALISED, AMBER_SIGN_NULL_OUTPUT}) {
    std::printf("%s\n", CodeLine(code).c_str());
  }
  for (uint32_t code = AMBER_E_NO_SECRET_KEY; code <= AMBER_E_BSP_NOT_FOUND; ++code) {
    if (std::strcmp(AmberResultText(code), AMBER_UNKNOWN_RESULT_TEXT) == 0) continue;
    std::printf("%s\n", CodeLine(AMBER_ERROR_FLAG | code).c_str());
  }
  return 0;
}

}  // namespace ambercrypt::admin
