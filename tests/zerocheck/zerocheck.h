/* zerocheck.h: the zeroing check of the Linux test build. A program linked with
 * zerocheck.c gets its own malloc, free, realloc, calloc and aligned
 * allocators (delegating to glibc's); while AMBERCRYPT_ZEROCHECK=1 is in its
 * environment, every block freed that still holds one of the watched secrets
 * is reported with a backtrace, and the program then exits with status 86
 * however its own run ended.
 *
 * Secrets are watched by ambercrypt_zerocheck_watch (the tests, through
 * ambercrypt::test::WatchSecret) and, for tools run from scripts, by the
 * environment: AMBERCRYPT_ZEROCHECK_SECRETS holds them one a line. The checker
 * keeps its copies in static storage, never on the heap. */
#ifndef AMBERCRYPT_TESTS_ZEROCHECK_ZEROCHECK_H_
#define AMBERCRYPT_TESTS_ZEROCHECK_ZEROCHECK_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Watches the n bytes at data (at least 6; shorter ones, or more than the table
 * holds, are refused with 0). Returns 1 when watched (or already watched). */
int ambercrypt_zerocheck_watch(const void *data, size_t n);
/* 1 when the check runs in this process (AMBERCRYPT_ZEROCHECK=1), else 0. */
int ambercrypt_zerocheck_active(void);
/* The number of freed blocks (and scanned regions) found holding a secret so far. */
unsigned long ambercrypt_zerocheck_findings(void);
/* Looks into memory the allocator never sees (the library's secret pages,
 * which wipe what they take back): each watched secret found in the n bytes
 * at p is reported and counted as a finding, as for a freed block. Returns
 * the number found. Works whether or not the check runs. */
unsigned long ambercrypt_zerocheck_scan(const void *p, size_t n);

#ifdef __cplusplus
}
#endif

#endif /* AMBERCRYPT_TESTS_ZEROCHECK_ZEROCHECK_H_ */
