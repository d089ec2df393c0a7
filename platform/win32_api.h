/*
 * win32_api.h: the Windows functions, types and constants ambercrypt calls.
 *
 * On Windows this is <windows.h> and <wincrypt.h> with the C runtime headers
 * that hold _splitpath, _itoa and the multibyte classification functions. On
 * Linux it declares the same subset under the same names and sizes, implemented
 * in platform/posix/. Code above this header is written once for both.
 */
#ifndef AMBERCRYPT_PLATFORM_WIN32_API_H_
#define AMBERCRYPT_PLATFORM_WIN32_API_H_

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wincrypt.h>
#include <mbctype.h>
#include <mbstring.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#else
#include "platform/posix/win32_posix.h"
#endif

#endif  // AMBERCRYPT_PLATFORM_WIN32_API_H_
