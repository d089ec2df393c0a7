// ambercrypt-bench: times the library's hot paths in a store of its own.
//
//   ambercrypt-bench [--rounds N] [--json]
//
// Verify road, common path: a check and an update reporting a match, with
// lockout on (the record is read, and rewritten with the bytes it holds).
// Verify road, failure path: a check that counts a failure and an update
// reporting one (the count changes: a durable write each time).
// Each figure is the median of N pairs, in microseconds. On Linux the store is
// a temporary state root; on Windows it is the machine's registry, under the
// product's key, which must not exist yet and is removed afterwards.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "crypto/ccrypt.h"
#include "frame/entry.h"
#include "platform/win32_api.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
const char kPassword[] = "Bench-Passw0rd";
const char kProductKey[] = "SOFTWARE\\Dravelo";

bool Provision() {
  ambercrypt::CCrypt crypt;
  uint8_t digest[20];
  uint32_t length = sizeof digest;
  if (crypt.Hash(reinterpret_cast<const uint8_t *>(kPassword), static_cast<uint32_t>(strlen(kPassword)), digest,
                 &length) != ERROR_SUCCESS) {
    return false;
  }
  ambercrypt::CRegCtrl reg;
  return reg.Open(ambercrypt::kBaseKeyPath, 1, KEY_ALL_ACCESS) &&
         reg.SetBinary(ambercrypt::settings::kAdminPasswordDigest.name, digest, sizeof digest) == ERROR_SUCCESS &&
         reg.SetDword(ambercrypt::settings::kInstallationNumber.name, 2718) == ERROR_SUCCESS;
}

void RemoveStore(const std::string &root) {
#if defined(_WIN32)
  (void)root;
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProductKey);
#else
  std::string command = "rm -rf '" + root + "'";
  (void)!std::system(command.c_str());
#endif
}

double MedianMicroseconds(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples.empty() ? 0 : samples[samples.size() / 2];
}

template <typename Body>
double Time(int rounds, Body body) {
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    if (!body()) return -1;
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return MedianMicroseconds(samples);
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = 500;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, atoi(argv[++i]));
    } else if (strcmp(argv[i], "--json") == 0) {
      json = true;
    } else {
      std::fprintf(stderr, "usage: ambercrypt-bench [--rounds N] [--json]\n");
      return 2;
    }
  }
  std::string root;
#if defined(_WIN32)
  // The store is the machine's registry: never touch an installation's.
  HKEY existing = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &existing) == ERROR_SUCCESS) {
    RegCloseKey(existing);
    std::fprintf(stderr, "HKLM\\%s exists: run the benchmark where nothing is installed\n", kProductKey);
    return 1;
  }
#else
  char pattern[] = "/tmp/ambercrypt-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  root = pattern;
  setenv("AMBERCRYPT_ROOT", root.c_str(), 1);
#endif
  if (!Provision()) {
    std::fprintf(stderr, "cannot provision a store\n");
    RemoveStore(root);
    return 1;
  }
  ambercrypt::ProcessAttach(nullptr, "C:\\Apps\\Admin.EXE");
  ResponseMethodRecord method;
  memset(&method, 0, sizeof method);
  method.method = AMBER_RESPONSE_SIGNATURE;
  bool ok = KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword) == 0 &&
            KoBioSPI_InitVerifyParameter("Scanner", 1000, 2000000000, 1, 1, method, kPassword) == 0;
  ambercrypt::ProcessAttach(nullptr, "C:\\Apps\\Scanner.EXE");
  std::vector<uint8_t> person(1024, 0x5a);
  BioAPI_BIR bir;
  memset(&bir, 0, sizeof bir);
  bir.BiometricData.Length = static_cast<uint32_t>(person.size());
  bir.BiometricData.Data = person.data();
  int32_t allowed = 0;
  uint8_t flag = 0;
  ok = ok && KoBioFPI_UpdateVerifyStatus(1, &bir, 10, 50) == 0;
  double common = Time(rounds, [&] {
    return KoBioFPI_VerifySecurityStatas(&bir, 100, &allowed, &flag) == 0 &&
           KoBioFPI_UpdateVerifyStatus(1, &bir, 10, 50) == 0;
  });
  ok = ok && KoBioFPI_UpdateVerifyStatus(0, &bir, 10, 50) == 0;
  double failure = Time(rounds, [&] {
    return KoBioFPI_VerifySecurityStatas(&bir, 100, &allowed, &flag) == 0 &&
           KoBioFPI_UpdateVerifyStatus(0, &bir, 10, 50) == 0;
  });
  ambercrypt::ProcessDetach();
  RemoveStore(root);
  if (!ok || common < 0 || failure < 0) {
    std::fprintf(stderr, "a call failed\n");
    return 1;
  }
#if defined(_WIN32)
  const char *target = "windows";
#else
  const char *target = "linux";
#endif
  if (json) {
    std::printf("{\"target\": \"%s\", \"rounds\": %d, \"verify_common_us\": %.1f, \"verify_failure_us\": %.1f}\n",
                target, rounds, common, failure);
  } else {
    std::printf("%s, median of %d pairs (check + update), microseconds\n", target, rounds);
    std::printf("  verify road, common path   %10.1f\n", common);
    std::printf("  verify road, failure path  %10.1f\n", failure);
  }
  return 0;
}
