/* zerocheck.c: see zerocheck.h. glibc lets a program replace its allocator by
 * defining these functions; here each one hands the work to glibc's own
 * (__libc_*), and free looks into the block first. realloc always moves while
 * the check runs, so that the block it leaves behind is looked into too.
 * Nothing here allocates: the secrets, the report and its backtrace use static
 * storage and the stack only. */
#define _GNU_SOURCE
#include "zerocheck.h"

#include <errno.h>
#include <execinfo.h>
#include <malloc.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void __libc_free(void *block);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);
extern void *__libc_valloc(size_t size);
extern void *__libc_pvalloc(size_t size);

enum { kMaxSecrets = 64, kMaxSecretBytes = 256, kMinSecretBytes = 6, kExitFound = 86 };

struct Secret {
  size_t length;
  unsigned char bytes[kMaxSecretBytes];
};

static struct Secret secrets[kMaxSecrets];
static atomic_int secretCount;
static atomic_int active;
static atomic_ulong findings;
static atomic_flag watchLock = ATOMIC_FLAG_INIT;
/* Set while this thread reports: the backtrace machinery may allocate. */
static __thread int reporting;

static void Say(const char *text) {
  size_t n = strlen(text);
  while (n > 0) {
    ssize_t w = write(STDERR_FILENO, text, n);
    if (w <= 0) return;
    text += w;
    n -= (size_t)w;
  }
}

int ambercrypt_zerocheck_watch(const void *data, size_t n) {
  if (data == NULL || n < kMinSecretBytes || n > kMaxSecretBytes) return 0;
  while (atomic_flag_test_and_set(&watchLock)) {
  }
  int count = atomic_load(&secretCount);
  int result = 1;
  int known = 0;
  for (int i = 0; i < count && !known; ++i) {
    known = secrets[i].length == n && memcmp(secrets[i].bytes, data, n) == 0;
  }
  if (!known) {
    if (count == kMaxSecrets) {
      result = 0;
    } else {
      memcpy(secrets[count].bytes, data, n);
      secrets[count].length = n;
      atomic_store(&secretCount, count + 1); /* published after the bytes */
    }
  }
  atomic_flag_clear(&watchLock);
  return result;
}

int ambercrypt_zerocheck_active(void) { return atomic_load(&active); }

unsigned long ambercrypt_zerocheck_findings(void) { return atomic_load(&findings); }

static void Report(const char *what, size_t blockSize, int secret, size_t offset) {
  reporting = 1;
  char line[256];
  snprintf(line, sizeof line, "zerocheck: %s of %zu usable bytes still holds watched secret #%d (%zu bytes) at offset %zu; "
           "at:\n", what, blockSize, secret, secrets[secret].length, offset);
  Say(line);
  void *frames[32];
  int depth = backtrace(frames, 32);
  backtrace_symbols_fd(frames, depth, STDERR_FILENO);
  atomic_fetch_add(&findings, 1);
  reporting = 0;
}

static void Inspect(void *block) {
  if (block == NULL || reporting || !atomic_load_explicit(&active, memory_order_relaxed)) return;
  int count = atomic_load(&secretCount);
  if (count == 0) return;
  size_t size = malloc_usable_size(block);
  for (int i = 0; i < count; ++i) {
    const unsigned char *at = memmem(block, size, secrets[i].bytes, secrets[i].length);
    if (at != NULL) Report("a freed block", size, i, (size_t)(at - (const unsigned char *)block));
  }
}

unsigned long ambercrypt_zerocheck_scan(const void *p, size_t n) {
  unsigned long found = 0;
  int count = atomic_load(&secretCount);
  for (int i = 0; p != NULL && i < count; ++i) {
    const unsigned char *at = memmem(p, n, secrets[i].bytes, secrets[i].length);
    if (at != NULL) {
      Report("a scanned region", n, i, (size_t)(at - (const unsigned char *)p));
      ++found;
    }
  }
  return found;
}

/* The environment's secrets, one a line. */
static void WatchEnvironment(void) {
  const char *text = getenv("AMBERCRYPT_ZEROCHECK_SECRETS");
  while (text != NULL && *text != '\0') {
    const char *end = strchr(text, '\n');
    size_t n = end != NULL ? (size_t)(end - text) : strlen(text);
    if (n != 0 && !ambercrypt_zerocheck_watch(text, n)) {
      Say("zerocheck: a secret of AMBERCRYPT_ZEROCHECK_SECRETS is shorter than 6 bytes or the table is full\n");
      atomic_fetch_add(&findings, 1);
    }
    text = end != NULL ? end + 1 : NULL;
  }
}

__attribute__((constructor(101))) static void Start(void) {
  const char *on = getenv("AMBERCRYPT_ZEROCHECK");
  if (on == NULL || strcmp(on, "1") != 0) return;
  WatchEnvironment();
  atomic_store(&active, 1);
}

/* Runs after every atexit handler (the loader's own is registered first):
 * whatever the program's exit status, a finding fails it. */
__attribute__((destructor(101))) static void Finish(void) {
  unsigned long found = atomic_load(&findings);
  if (found == 0) return;
  char line[160];
  snprintf(line, sizeof line, "zerocheck: %lu freed block(s) held a watched secret: failing the run\n", found);
  Say(line);
  _exit(kExitFound);
}

void *malloc(size_t size) { return __libc_malloc(size); }

void free(void *block) {
  Inspect(block);
  __libc_free(block);
}

void *calloc(size_t count, size_t size) { return __libc_calloc(count, size); }

void *realloc(void *block, size_t size) {
  if (block == NULL) return __libc_malloc(size);
  if (!atomic_load_explicit(&active, memory_order_relaxed)) return __libc_realloc(block, size);
  if (size == 0) {
    free(block);
    return NULL;
  }
  void *moved = __libc_malloc(size);
  if (moved == NULL) return NULL;
  size_t old = malloc_usable_size(block);
  memcpy(moved, block, old < size ? old : size);
  free(block);
  return moved;
}

void *reallocarray(void *block, size_t count, size_t size) {
  size_t total;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return NULL;
  }
  return realloc(block, total);
}

void *memalign(size_t alignment, size_t size) { return __libc_memalign(alignment, size); }

void *aligned_alloc(size_t alignment, size_t size) { return __libc_memalign(alignment, size); }

int posix_memalign(void **result, size_t alignment, size_t size) {
  if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void *block = __libc_memalign(alignment, size);
  if (block == NULL) return ENOMEM;
  *result = block;
  return 0;
}

void *valloc(size_t size) { return __libc_valloc(size); }

void *pvalloc(size_t size) { return __libc_pvalloc(size); }
