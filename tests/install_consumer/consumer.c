/* A program of a developer who installed ambercrypt, built against the
 * installed header and library only:
 *   consumer PREFIX
 * asks KoBioFPI_CheckMode in a store of its own (on Linux $AMBERCRYPT_ROOT,
 * empty: no setting for this application) and, on Linux, checks that the
 * library answering is the one installed under PREFIX (a Windows program loads
 * the DLL put beside it). */
#define _GNU_SOURCE
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if !defined(_WIN32)
#include <dlfcn.h>
#endif

#include <ambercrypt/ambercrypt.h>
#if defined(AMBERCRYPT_CONSUMER_VERIFIER)
#include <ambercrypt/verifier.h>
#endif

int main(int argc, char **argv) {
#if defined(AMBERCRYPT_CONSUMER_VERIFIER)
  /* The installed static verifier links from C and answers. */
  if (AmberVerifierCheckVerify(NULL, NULL, NULL) != AMBER_VERIFIER_BAD_ARGUMENT) {
    printf("AmberVerifierCheckVerify did not refuse null arguments\n");
    return 1;
  }
#endif
  uint32_t code = KoBioFPI_CheckMode(1);
  if (code != (AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG)) {
    printf("KoBioFPI_CheckMode(1) = 0x%x, expected 0x%x\n", (unsigned)code,
           (unsigned)(AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG));
    return 1;
  }
#if defined(_WIN32)
  (void)argc;
  (void)argv;
  printf("KoBioFPI_CheckMode answered 0x%x\n", (unsigned)code);
  return 0;
}
#else
  Dl_info info;
  char prefix[PATH_MAX];
  char library[PATH_MAX];
  if (argc != 2 || realpath(argv[1], prefix) == NULL) {
    fprintf(stderr, "usage: consumer PREFIX\n");
    return 2;
  }
  if (dladdr((void *)KoBioFPI_CheckMode, &info) == 0 || info.dli_fname == NULL ||
      realpath(info.dli_fname, library) == NULL) {
    printf("cannot tell which library answered\n");
    return 1;
  }
  if (strncmp(library, prefix, strlen(prefix)) != 0 || library[strlen(prefix)] != '/') {
    printf("the answer came from %s, not from under %s\n", library, prefix);
    return 1;
  }
  printf("KoBioFPI_CheckMode answered 0x%x from %s\n", (unsigned)code, library);
  return 0;
}
#endif
