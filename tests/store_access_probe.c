/* A host of the packaged library, for the test of who may use an installed
 * store. The application is this program's file name, store_access_probe.
 *   store_access_probe LIBRARY admin PASSWORD   restricts the application to
 *       mode 4 and gives it an identify policy (run by the store's writer)
 *   store_access_probe LIBRARY host             what a host does: may it
 *       capture, may it identify, and a failed identification recorded
 * Loads LIBRARY as hosts do, prints every answer, exits 0 only when each is 0. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "ambercrypt/ambercrypt.h"

static const char kApplication[] = "store_access_probe";

typedef uint32_t (*RestrictFn)(const char *, uint32_t, uint32_t, const char *);
typedef uint32_t (*InitPolicyFn)(const char *, int32_t, int32_t, int32_t, uint8_t, ResponseMethodRecord,
                                 const char *);
typedef uint32_t (*CheckModeFn)(uint32_t);
typedef uint32_t (*IdentifyCheckFn)(const void *, int32_t, int32_t *, uint8_t *);
typedef uint32_t (*IdentifyUpdateFn)(uint32_t *, BioAPI_CANDIDATE **, uint8_t);

static int failures = 0;

static void report(const char *what, uint32_t code) {
  printf("%-28s 0x%07x\n", what, (unsigned)code);
  if (code != 0) ++failures;
}

int main(int argc, char **argv) {
  void *lib;
  if (argc < 3) {
    fprintf(stderr, "usage: store_access_probe LIBRARY admin PASSWORD | LIBRARY host\n");
    return 2;
  }
  lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    printf("cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  if (strcmp(argv[2], "admin") == 0 && argc == 4) {
    RestrictFn restrictFn = (RestrictFn)dlsym(lib, "KoBioSPI_RestrictBSPFunction");
    InitPolicyFn initIdentify = (InitPolicyFn)dlsym(lib, "KoBioSPI_InitIdentifyParameter");
    ResponseMethodRecord hmac;
    memset(&hmac, 0, sizeof hmac);
    hmac.method = AMBER_RESPONSE_HMAC;
    snprintf(hmac.keyText, sizeof hmac.keyText, "%s", "Probe response key");
    report("RestrictBSPFunction(4)", restrictFn(kApplication, 4, 0, argv[3]));
    report("InitIdentifyParameter", initIdentify(kApplication, 1000, 5, 1, 1, hmac, argv[3]));
  } else if (strcmp(argv[2], "host") == 0 && argc == 3) {
    CheckModeFn checkMode = (CheckModeFn)dlsym(lib, "KoBioFPI_CheckMode");
    IdentifyCheckFn identifyCheck = (IdentifyCheckFn)dlsym(lib, "KoBioFPI_IdentifySecurityStatas");
    IdentifyUpdateFn identifyUpdate = (IdentifyUpdateFn)dlsym(lib, "KoBioFPI_UpdateIdentifyStatus");
    int32_t allowed = 0;
    uint8_t flag = 0;
    uint32_t found = 0;
    BioAPI_CANDIDATE *candidates = NULL;
    report("CheckMode(0x0001)", checkMode(0x0001));
    report("IdentifySecurityStatas", identifyCheck(NULL, 100, &allowed, &flag));
    report("UpdateIdentifyStatus", identifyUpdate(&found, &candidates, 0));
  } else {
    fprintf(stderr, "usage: store_access_probe LIBRARY admin PASSWORD | LIBRARY host\n");
    return 2;
  }
  dlclose(lib);
  return failures == 0 ? 0 : 1;
}
