// admin_lockout_host: a host named after its argument that fails
// verifications until its application is locked, so that the admin tool's
// test finds lockout state to show. Exit status 0 once the check answered
// that the limit has just been reached.
#include <cstdio>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "frame/entry.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: admin_lockout_host APPLICATION\n");
    return 2;
  }
  ambercrypt::ProcessAttach(nullptr, (std::string("/hosts/") + argv[1]).c_str());
  std::vector<uint8_t> person(64, 0x5a);
  BioAPI_BIR bir{};
  bir.BiometricData.Length = static_cast<uint32_t>(person.size());
  bir.BiometricData.Data = person.data();
  int32_t allowed = 0;
  uint8_t flag = 0;
  uint32_t check = AMBER_OK;
  for (int i = 0; i < 20 && check == AMBER_OK; ++i) {
    check = KoBioFPI_VerifySecurityStatas(&bir, 10, &allowed, &flag);
    if (check == AMBER_OK && KoBioFPI_UpdateVerifyStatus(0, &bir, 10, 50) != AMBER_OK) break;
  }
  ambercrypt::ProcessDetach();
  std::printf("last check: 0x%X\n", check);
  return check == (AMBER_ERROR_FLAG | AMBER_E_LOCKED_NOW) ? 0 : 1;
}
