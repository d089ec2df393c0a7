// Loads the built library at run time as a caller would: every export by name
// (and on Windows by ordinal 1 to 19, in the export table's order), then a few
// frame answers, then unloads it.
#include <cstdio>
#include <cstring>

#include "ambercrypt/ambercrypt.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

const char *const kExports[19] = {
    "KoBioFPI_CheckMode",           "KoBioFPI_DecryptBIR",           "KoBioFPI_EncryptBIR",
    "KoBioFPI_IdentifySecurityStatas", "KoBioFPI_UpdateIdentifyStatus", "KoBioFPI_UpdateVerifyStatus",
    "KoBioFPI_VerifySecurityStatas", "KoBioSPI_DeleteParameter",      "KoBioSPI_DigitalSignBIR",
    "KoBioSPI_IdentifyChallenge",   "KoBioSPI_InitCerfificate",      "KoBioSPI_InitIdentifyParameter",
    "KoBioSPI_InitSecretKey",       "KoBioSPI_InitVerifyParameter",  "KoBioSPI_RestrictBSPFunction",
    "KoBioSPI_SetEndUserParameter", "KoBioSPI_VerifyBSP",            "KoBioSPI_VerifyChallenge",
    "KoBioSPI_VerifyReferenceBIR"};

int g_failures = 0;

void Expect(bool ok, const char *what) {
  if (!ok) {
    std::printf("FAILED: %s\n", what);
    ++g_failures;
  }
}

}  // namespace

int main(int argc, char **argv) {
  const char *library = argc > 1 ? argv[1] : nullptr;
  if (library == nullptr) return 2;
#if defined(_WIN32)
  HMODULE module = LoadLibraryA(library);
  if (module == nullptr) {
    std::printf("cannot load %s: %lu\n", library, GetLastError());
    return 1;
  }
  auto find = [&](const char *name) { return reinterpret_cast<void *>(GetProcAddress(module, name)); };
  for (int ordinal = 1; ordinal <= 19; ++ordinal) {
    void *byOrdinal = reinterpret_cast<void *>(GetProcAddress(module, MAKEINTRESOURCEA(ordinal)));
    Expect(byOrdinal != nullptr && byOrdinal == find(kExports[ordinal - 1]), kExports[ordinal - 1]);
  }
  Expect(GetProcAddress(module, MAKEINTRESOURCEA(20)) == nullptr, "no ordinal 20");
#else
  void *module = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::printf("cannot load %s: %s\n", library, dlerror());
    return 1;
  }
  auto find = [&](const char *name) { return dlsym(module, name); };
  Expect(find("_ZN10ambercrypt6CCryptC1Ev") == nullptr, "internal symbols are hidden");
#endif
  for (const char *name : kExports) Expect(find(name) != nullptr, name);

  using SignFn = uint32_t (*)(const BioAPI_BIR *, BioAPI_BIR *);
  using CheckFn = uint32_t (*)(uint32_t);
  using KeyFn = uint32_t (*)(const char *, uint32_t, const char *, const char *);
  auto sign = reinterpret_cast<SignFn>(find("KoBioSPI_DigitalSignBIR"));
  auto check = reinterpret_cast<CheckFn>(find("KoBioFPI_CheckMode"));
  auto initKey = reinterpret_cast<KeyFn>(find("KoBioSPI_InitSecretKey"));
  BioAPI_BIR bir;
  std::memset(&bir, 0, sizeof bir);
  Expect(sign != nullptr && sign(&bir, nullptr) == 0x8000103u, "DigitalSignBIR(bir, NULL) is 0x8000103");
  Expect(sign != nullptr && sign(nullptr, nullptr) == 0x8000103u, "DigitalSignBIR(NULL, NULL) is 0x8000103");
  Expect(check != nullptr && (check(0) & 0x8000000u) != 0, "CheckMode is flagged");
  Expect(initKey != nullptr && initKey(nullptr, 0, nullptr, nullptr) == 0x8000805u, "null name is 0x8000805");
#if defined(_WIN32)
  Expect(FreeLibrary(module) != 0, "unload");
#else
  Expect(dlclose(module) == 0, "unload");
#endif
  if (g_failures != 0) return 1;
  std::printf("loaded, called and unloaded %s\n", library);
  return 0;
}
