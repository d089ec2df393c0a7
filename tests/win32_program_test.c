/* A program written for Windows, in C, using only functions the library
 * uses: on Windows it gets <windows.h> and <wincrypt.h>; on Linux the same
 * source compiles against platform/win32_api.h and links ambercrypt_platform.
 * It derives a 3DES key, encrypts and computes an HMAC, and checks the bytes
 * Windows' CryptoAPI produced for the same inputs. */
#include <stdio.h>
#include <string.h>

#include "platform/win32_api.h"

static const BYTE kMaterial[] = "4242Reference-Key-Base-Text";

static HCRYPTKEY Derive(HCRYPTPROV prov) {
  HCRYPTHASH hash = 0;
  HCRYPTKEY key = 0;
  if (!CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash)) return 0;
  if (!CryptHashData(hash, kMaterial, (DWORD)strlen((const char *)kMaterial), 0) ||
      !CryptDeriveKey(prov, CALG_3DES, hash, CRYPT_EXPORTABLE | CRYPT_CREATE_SALT, &key)) {
    key = 0;
  }
  CryptDestroyHash(hash);
  return key;
}

static void Hex(const BYTE *data, DWORD n, char *out) {
  DWORD i;
  for (i = 0; i < n; ++i) sprintf(out + 2 * i, "%02x", data[i]);
}

int main(void) {
  HCRYPTPROV prov = 0;
  HCRYPTKEY key;
  HCRYPTHASH mac = 0;
  HMAC_INFO info;
  BYTE iv[8] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  BYTE buffer[16] = {0xb4};
  BYTE value[20];
  const BYTE text[] = {0x0d, 0x53, 0x2f, 0xd7, 0xb0, 0x88, 0xa6};
  DWORD length = 1, size = sizeof value;
  char hex[64];
  int failures = 0;

  if (!CryptAcquireContextA(&prov, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    printf("CryptAcquireContextA failed: 0x%x\n", (unsigned)GetLastError());
    return 1;
  }
  key = Derive(prov);
  if (key == 0 || !CryptSetKeyParam(key, KP_IV, iv, 0) || !CryptEncrypt(key, 0, TRUE, 0, buffer, &length, sizeof buffer)) {
    printf("encryption failed: 0x%x\n", (unsigned)GetLastError());
    return 1;
  }
  Hex(buffer, length, hex);
  if (strcmp(hex, "9072107ead9ebfb1") != 0) {
    printf("ciphertext %s\n", hex);
    ++failures;
  }
  memset(&info, 0, sizeof info);
  info.HashAlgid = CALG_SHA1;
  if (!CryptCreateHash(prov, CALG_HMAC, key, 0, &mac) || !CryptSetHashParam(mac, HP_HMAC_INFO, (BYTE *)&info, 0) ||
      !CryptHashData(mac, text, sizeof text, 0) || !CryptGetHashParam(mac, HP_HASHVAL, value, &size, 0)) {
    printf("HMAC failed: 0x%x\n", (unsigned)GetLastError());
    return 1;
  }
  Hex(value, size, hex);
  if (strcmp(hex, "c56bed33f83ad7fdee1acf3f6b74efbad2d07c22") != 0) {
    printf("HMAC %s\n", hex);
    ++failures;
  }
  CryptDestroyHash(mac);
  CryptDestroyKey(key);
  CryptReleaseContext(prov, 0);
  if (failures == 0) printf("the Windows program gives Windows' bytes\n");
  return failures == 0 ? 0 : 1;
}
