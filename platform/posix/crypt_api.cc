// crypt_api.cc: CryptoAPI providers, hashes, HMAC, key derivation and block
// ciphers on OpenSSL 3, with the results and error codes of Microsoft's
// providers (derivation and padding as Microsoft documents them).
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/posix/openssl_error.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {

BOOL CopyOut(const void *data, DWORD size, BYTE *out, DWORD *outLength) {
  if (out == nullptr) {
    *outLength = size;
    return TRUE;
  }
  if (*outLength < size) {
    *outLength = size;
    return FailWith(ERROR_MORE_DATA);
  }
  if (size != 0) memcpy(out, data, size);
  *outLength = size;
  return TRUE;
}

BOOL FailWith(long code) {
  ERR_clear_error();
  SetLastError(static_cast<DWORD>(code));
  return FALSE;
}

namespace {

constexpr DWORD kSha1Size = 20;
constexpr int kPadBlock = 64;
// The most bytes handed to OpenSSL in one call: fits its int lengths, and is
// a whole number of blocks of every cipher here.
constexpr DWORD kLargestPiece = DWORD{1} << 30;
// The largest length a DWORD holds.
constexpr uint64_t kLargestDword = 0xFFFFFFFFu;

struct Provider;

// A hash or a key belongs to the provider context it was made under and is
// destroyed with it: once the context is released, no call could free it
// (CryptoAPI refuses every use of it, destruction included).
struct Owned {
  Provider *owner = nullptr;
  Owned *previous = nullptr;
  Owned *next = nullptr;
  Owned() = default;
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  virtual ~Owned() = default;
};

struct Provider {
  DWORD type = 0;
  // Guards the list: each context's hashes and keys are its own, so two
  // contexts used in two threads never wait on each other.
  std::mutex mutex;
  Owned *owned = nullptr;
  bool released = false;  // adopts nothing more
  std::optional<HandleRegistration> registration{std::in_place, this, HandleKind::kProvider};
  ~Provider() {
    registration.reset();  // no call finds the context from here on
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    while (owned != nullptr) {
      Owned *object = owned;
      owned = object->next;
      delete object;
    }
  }
};

// Makes object the owner's, so that it dies with it; false once the owner
// is being released.
bool Adopt(Provider *owner, Owned *object) {
  std::lock_guard<std::mutex> lock(owner->mutex);
  if (owner->released) return false;
  object->owner = owner;
  object->next = owner->owned;
  if (owner->owned != nullptr) owner->owned->previous = object;
  owner->owned = object;
  return true;
}

// Destroys a hash or key its caller is done with, taking it off its owner's list.
void Destroy(Owned *object) {
  if (object->owner != nullptr) {
    std::lock_guard<std::mutex> lock(object->owner->mutex);
    if (object->previous != nullptr) {
      object->previous->next = object->next;
    } else {
      object->owner->owned = object->next;
    }
    if (object->next != nullptr) object->next->previous = object->previous;
  }
  delete object;
}

struct Key : Owned {
  ALG_ID algorithm = 0;
  uint8_t bytes[32] = {};
  DWORD keyLength = 0;    // bytes
  DWORD blockLength = 0;  // bytes
  uint8_t iv[16] = {};    // as set with KP_IV
  uint8_t chain[16] = {}; // running CBC state between non-final calls
  // The key schedules of bytes (for decryption, for encryption), made on first
  // use: a key enciphers many records, and only its IV changes between them.
  // Freed contexts are cleansed by OpenSSL.
  EvpCipherCtxPtr schedule[2];
  HandleRegistration registration{this, HandleKind::kKey};
  ~Key() override { SecureZeroMemory(bytes, sizeof bytes); }
};

struct Hash : Owned {
  ALG_ID algorithm = 0;
  EvpMdCtxPtr ctx;
  bool finished = false;
  bool hmacReady = false;        // HP_HMAC_INFO has been set
  std::vector<uint8_t> hmacKey;  // raw bytes of the keying key
  uint8_t value[kSha1Size] = {};
  HandleRegistration registration{this, HandleKind::kHash};
  ~Hash() override {
    if (!hmacKey.empty()) SecureZeroMemory(hmacKey.data(), hmacKey.size());
    SecureZeroMemory(value, sizeof value);
  }
};

Provider *AsProvider(HCRYPTPROV h) {
  return FindHandle<Provider>(reinterpret_cast<const void *>(h), HandleKind::kProvider);
}
Hash *AsHash(HCRYPTHASH h) { return FindHandle<Hash>(reinterpret_cast<const void *>(h), HandleKind::kHash); }
Key *AsKey(HCRYPTKEY h) { return FindHandle<Key>(reinterpret_cast<const void *>(h), HandleKind::kKey); }

const EVP_CIPHER *CipherOf(const Key &key) {
  switch (key.algorithm) {
    case CALG_3DES: return EVP_des_ede3_cbc();
    case CALG_AES_128: return EVP_aes_128_cbc();
    case CALG_AES_192: return EVP_aes_192_cbc();
    case CALG_AES_256: return EVP_aes_256_cbc();
    default: return nullptr;
  }
}

// Key length for a derivable algorithm in this provider type; 0 when the
// provider does not offer it (the full RSA provider has no AES).
DWORD KeyLengthOf(ALG_ID algorithm, DWORD providerType) {
  switch (algorithm) {
    case CALG_3DES: return 24;
    case CALG_AES_128: return providerType == PROV_RSA_AES ? 16 : 0;
    case CALG_AES_192: return providerType == PROV_RSA_AES ? 24 : 0;
    case CALG_AES_256: return providerType == PROV_RSA_AES ? 32 : 0;
    default: return 0;
  }
}

bool Sha1(const uint8_t *data, size_t length, uint8_t out[kSha1Size]) {
  unsigned int size = 0;
  return EVP_Digest(data, length, out, &size, EVP_sha1(), nullptr) == 1 && size == kSha1Size;
}

// Finishes the hash and leaves its value in hash->value.
bool Finish(Hash *hash) {
  if (hash->finished) return true;
  unsigned int size = 0;
  if (hash->algorithm == CALG_SHA1) {
    if (EVP_DigestFinal_ex(hash->ctx.get(), hash->value, &size) != 1) return false;
  } else {
    // HMAC: outer digest over (key ^ opad) and the inner digest.
    uint8_t inner[kSha1Size];
    if (EVP_DigestFinal_ex(hash->ctx.get(), inner, &size) != 1) return false;
    uint8_t pad[kPadBlock];
    memset(pad, 0x5c, sizeof pad);
    for (size_t i = 0; i < hash->hmacKey.size(); ++i) pad[i] ^= hash->hmacKey[i];
    EvpMdCtxPtr outer(EVP_MD_CTX_new());
    bool ok = outer && EVP_DigestInit_ex(outer.get(), EVP_sha1(), nullptr) == 1 &&
              EVP_DigestUpdate(outer.get(), pad, sizeof pad) == 1 &&
              EVP_DigestUpdate(outer.get(), inner, sizeof inner) == 1 &&
              EVP_DigestFinal_ex(outer.get(), hash->value, &size) == 1;
    SecureZeroMemory(pad, sizeof pad);
    SecureZeroMemory(inner, sizeof inner);
    if (!ok) return false;
  }
  hash->finished = true;
  return true;
}

// Runs whole blocks through CBC without padding, continuing key->chain.
bool RunBlocks(Key *key, bool encrypt, uint8_t *data, DWORD length) {
  if (length == 0) return true;
  EvpCipherCtxPtr &ctx = key->schedule[encrypt ? 1 : 0];
  if (!ctx) {
    EvpCipherCtxPtr fresh(EVP_CIPHER_CTX_new());
    if (!fresh ||
        EVP_CipherInit_ex(fresh.get(), CipherOf(*key), nullptr, key->bytes, key->chain, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(fresh.get(), 0) != 1) {
      return false;
    }
    ctx = std::move(fresh);
  } else if (EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, nullptr, key->chain, encrypt ? 1 : 0) != 1) {
    return false;  // the same schedule, from the current chaining value
  }
  uint8_t last[sizeof key->chain];
  memcpy(last, data + length - key->blockLength, key->blockLength);
  // EVP counts in int: a run of 2 GiB or more goes through in pieces of whole
  // blocks, the cipher's own state chaining them.
  for (DWORD done = 0; done < length;) {
    const DWORD piece = std::min<DWORD>(length - done, kLargestPiece);
    int outLength = 0;
    if (EVP_CipherUpdate(ctx.get(), data + done, &outLength, data + done, static_cast<int>(piece)) != 1 ||
        outLength != static_cast<int>(piece)) {
      return false;
    }
    done += piece;
  }
  // The next IV is the last ciphertext block.
  memcpy(key->chain, encrypt ? data + length - key->blockLength : last, key->blockLength);
  SecureZeroMemory(last, sizeof last);  // when enciphering, plaintext
  return true;
}

}  // namespace
}  // namespace ambercrypt::posix

using namespace ambercrypt::posix;

extern "C" {

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV *phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags) {
  (void)szProvider;
  if (phProv == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (dwProvType != PROV_RSA_FULL && dwProvType != PROV_RSA_AES) return FailWith(NTE_BAD_PROV_TYPE);
  // Only ephemeral contexts exist here: private keys live beside certificates.
  if ((dwFlags & CRYPT_VERIFYCONTEXT) == 0 || (dwFlags & ~(CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) != 0 ||
      szContainer != nullptr) {
    return FailWith(NTE_BAD_FLAGS);
  }
  auto *provider = new (std::nothrow) Provider;
  if (provider == nullptr) return FailWith(NTE_NO_MEMORY);
  provider->type = dwProvType;
  *phProv = reinterpret_cast<HCRYPTPROV>(provider);
  return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  Provider *provider = AsProvider(hProv);
  if (provider == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  delete provider;  // with its hashes and keys
  // Flags are refused only once the context is gone, as CryptoAPI does: a
  // second release would find no context.
  if (dwFlags != 0) return FailWith(NTE_BAD_FLAGS);
  return TRUE;
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH *phHash) {
  Provider *provider = AsProvider(hProv);
  if (provider == nullptr || phHash == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  // A key given is checked as a handle whatever the algorithm; an HMAC
  // without one is the provider's NTE_BAD_KEY.
  Key *key = hKey != 0 ? AsKey(hKey) : nullptr;
  if (hKey != 0 && key == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return FailWith(NTE_BAD_FLAGS);
  if (Algid != CALG_SHA1 && Algid != CALG_HMAC) return FailWith(NTE_BAD_ALGID);
  if (Algid == CALG_HMAC && key == nullptr) return FailWith(NTE_BAD_KEY);
  auto *hash = new (std::nothrow) Hash;
  if (hash == nullptr) return FailWith(NTE_NO_MEMORY);
  hash->algorithm = Algid;
  hash->ctx.reset(EVP_MD_CTX_new());
  if (!hash->ctx) {
    delete hash;
    return FailWith(NTE_NO_MEMORY);
  }
  if (Algid == CALG_SHA1) {
    if (EVP_DigestInit_ex(hash->ctx.get(), EVP_sha1(), nullptr) != 1) {
      delete hash;
      return FailWith(NTE_FAIL);
    }
  } else {
    // The HMAC key is the derived key's raw bytes, with no parity adjustment.
    hash->hmacKey.assign(key->bytes, key->bytes + key->keyLength);
  }
  if (!Adopt(provider, hash)) {
    delete hash;  // its context was released meanwhile
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  *phHash = reinterpret_cast<HCRYPTHASH>(hash);
  return TRUE;
}

BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags) {
  Hash *hash = AsHash(hHash);
  if (hash == nullptr || pbData == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return FailWith(NTE_BAD_FLAGS);
  if (dwParam != HP_HMAC_INFO || hash->algorithm != CALG_HMAC) return FailWith(NTE_BAD_TYPE);
  HMAC_INFO info;
  memcpy(&info, pbData, sizeof info);
  if (info.HashAlgid != CALG_SHA1) return FailWith(NTE_BAD_ALGID);
  // Only the standard pads (RFC 2104) are offered.
  if (info.cbInnerString != 0 || info.cbOuterString != 0) return FailWith(NTE_BAD_DATA);
  uint8_t pad[kPadBlock];
  memset(pad, 0x36, sizeof pad);
  for (size_t i = 0; i < hash->hmacKey.size(); ++i) pad[i] ^= hash->hmacKey[i];
  bool ok = EVP_DigestInit_ex(hash->ctx.get(), EVP_sha1(), nullptr) == 1 &&
            EVP_DigestUpdate(hash->ctx.get(), pad, sizeof pad) == 1;
  SecureZeroMemory(pad, sizeof pad);
  if (!ok) return FailWith(NTE_FAIL);
  hash->hmacReady = true;
  hash->finished = false;
  return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE *pbData, DWORD dwDataLen, DWORD dwFlags) {
  Hash *hash = AsHash(hHash);
  if (hash == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  // Microsoft's providers take CRYPT_USERDATA and hash the data given.
  if ((dwFlags & ~CRYPT_USERDATA) != 0) return FailWith(NTE_BAD_FLAGS);
  if (hash->finished || (hash->algorithm == CALG_HMAC && !hash->hmacReady)) return FailWith(NTE_BAD_HASH_STATE);
  if (dwDataLen == 0) return TRUE;
  if (pbData == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (EVP_DigestUpdate(hash->ctx.get(), pbData, dwDataLen) != 1) return FailWith(NTE_FAIL);
  return TRUE;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags) {
  Hash *hash = AsHash(hHash);
  if (hash == nullptr || pdwDataLen == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return FailWith(NTE_BAD_FLAGS);
  DWORD word = 0;
  const uint8_t *source = nullptr;
  DWORD size = 0;
  switch (dwParam) {
    case HP_ALGID:
      word = hash->algorithm;
      source = reinterpret_cast<const uint8_t *>(&word);
      size = sizeof word;
      break;
    case HP_HASHSIZE:
      word = kSha1Size;
      source = reinterpret_cast<const uint8_t *>(&word);
      size = sizeof word;
      break;
    case HP_HASHVAL:
      if (hash->algorithm == CALG_HMAC && !hash->hmacReady) return FailWith(NTE_BAD_HASH_STATE);
      // Asked with a buffer, even one too short, the hash is finished.
      if (pbData != nullptr && !Finish(hash)) return FailWith(NTE_FAIL);
      source = hash->value;
      size = kSha1Size;
      break;
    default:
      return FailWith(NTE_BAD_TYPE);
  }
  return CopyOut(source, size, pbData, pdwDataLen);
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
  Hash *hash = AsHash(hHash);
  if (hash == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  Destroy(hash);
  return TRUE;
}

BOOL WINAPI CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags, HCRYPTKEY *phKey) {
  Provider *provider = AsProvider(hProv);
  Hash *hash = AsHash(hBaseData);
  if (provider == nullptr || hash == nullptr || phKey == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (hash->algorithm != CALG_SHA1) return FailWith(NTE_BAD_HASH);
  DWORD keyLength = KeyLengthOf(Algid, provider->type);
  if (keyLength == 0) return FailWith(NTE_BAD_ALGID);
  DWORD requestedBits = dwFlags >> 16;
  if (requestedBits != 0 && requestedBits != keyLength * 8) return FailWith(NTE_BAD_FLAGS);
  if (!Finish(hash)) return FailWith(NTE_FAIL);

  // Two SHA-1 values over the digest XORed into 64 bytes of 0x36 and of 0x5C.
  uint8_t pad[kPadBlock];
  uint8_t derived[2 * kSha1Size];
  memset(pad, 0x36, sizeof pad);
  for (DWORD i = 0; i < kSha1Size; ++i) pad[i] ^= hash->value[i];
  bool ok = Sha1(pad, sizeof pad, derived);
  memset(pad, 0x5c, sizeof pad);
  for (DWORD i = 0; i < kSha1Size; ++i) pad[i] ^= hash->value[i];
  ok = ok && Sha1(pad, sizeof pad, derived + kSha1Size);
  SecureZeroMemory(pad, sizeof pad);
  if (!ok) {
    SecureZeroMemory(derived, sizeof derived);
    return FailWith(NTE_FAIL);
  }
  auto *key = new (std::nothrow) Key;
  if (key == nullptr) {
    SecureZeroMemory(derived, sizeof derived);
    return FailWith(NTE_NO_MEMORY);
  }
  key->algorithm = Algid;
  key->keyLength = keyLength;
  key->blockLength = Algid == CALG_3DES ? 8 : 16;
  memcpy(key->bytes, derived, keyLength);
  SecureZeroMemory(derived, sizeof derived);
  if (!Adopt(provider, key)) {
    delete key;  // its context was released meanwhile
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  *phKey = reinterpret_cast<HCRYPTKEY>(key);
  return TRUE;
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) {
  Key *key = AsKey(hKey);
  if (key == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  Destroy(key);
  return TRUE;
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen, DWORD dwFlags) {
  Key *key = AsKey(hKey);
  if (key == nullptr || pdwDataLen == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return FailWith(NTE_BAD_FLAGS);
  DWORD word = 0;
  const uint8_t *source = reinterpret_cast<const uint8_t *>(&word);
  DWORD size = sizeof word;
  switch (dwParam) {
    case KP_BLOCKLEN: word = key->blockLength * 8; break;
    case KP_KEYLEN: word = key->keyLength * 8; break;
    case KP_ALGID: word = key->algorithm; break;
    case KP_MODE: word = 1; break;     // CRYPT_MODE_CBC
    case KP_PADDING: word = 1; break;  // PKCS5_PADDING
    case KP_IV:
      source = key->iv;
      size = key->blockLength;
      break;
    case KP_SALT:
      return FailWith(NTE_BAD_KEY);  // a block cipher's key has no salt
    default:
      return FailWith(NTE_BAD_TYPE);
  }
  return CopyOut(source, size, pbData, pdwDataLen);
}

BOOL WINAPI CryptSetKeyParam(HCRYPTKEY hKey, DWORD dwParam, const BYTE *pbData, DWORD dwFlags) {
  Key *key = AsKey(hKey);
  if (key == nullptr || pbData == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return FailWith(NTE_BAD_FLAGS);
  if (dwParam != KP_IV) return FailWith(NTE_BAD_TYPE);
  memcpy(key->iv, pbData, key->blockLength);  // CryptoAPI reads one block
  memcpy(key->chain, key->iv, key->blockLength);
  return TRUE;
}

BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                         DWORD *pdwDataLen, DWORD dwBufLen) {
  Key *key = AsKey(hKey);
  if (key == nullptr || pdwDataLen == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (hHash != 0) return FailWith(NTE_BAD_HASH);
  if (dwFlags != 0) return FailWith(NTE_BAD_FLAGS);
  DWORD block = key->blockLength;
  DWORD length = *pdwDataLen;
  if (!Final && length % block != 0) return FailWith(NTE_BAD_DATA);
  // Reckoned in 64 bits: from 0xFFFFFFF0 (AES) or 0xFFFFFFF8 (3DES) on, the
  // padded length no longer fits a DWORD, and a wrapped one would send the
  // caller off with a buffer of nothing.
  const uint64_t paddedLength = (uint64_t{length} / block + (Final ? 1 : 0)) * block;
  if (paddedLength > kLargestDword) return FailWith(NTE_BAD_LEN);
  const DWORD cipherLength = static_cast<DWORD>(paddedLength);
  if (pbData == nullptr) {
    *pdwDataLen = cipherLength;
    return TRUE;
  }
  if (cipherLength > dwBufLen) {
    *pdwDataLen = cipherLength;
    return FailWith(ERROR_MORE_DATA);
  }
  if (Final) {
    // PKCS#5 always pads, 1 to block bytes.
    uint8_t pad = static_cast<uint8_t>(cipherLength - length);
    memset(pbData + length, pad, pad);
  }
  if (!RunBlocks(key, true, pbData, cipherLength)) return FailWith(NTE_FAIL);
  if (Final) memcpy(key->chain, key->iv, block);
  *pdwDataLen = cipherLength;
  return TRUE;
}

BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                         DWORD *pdwDataLen) {
  Key *key = AsKey(hKey);
  if (key == nullptr || pdwDataLen == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (hHash != 0) return FailWith(NTE_BAD_HASH);
  if (dwFlags != 0) return FailWith(NTE_BAD_FLAGS);
  DWORD block = key->blockLength;
  DWORD length = *pdwDataLen;
  if (length % block != 0 || (Final && length == 0)) return FailWith(NTE_BAD_DATA);
  if (pbData == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  if (!RunBlocks(key, false, pbData, length)) return FailWith(NTE_FAIL);
  if (!Final) return TRUE;
  memcpy(key->chain, key->iv, block);
  uint8_t pad = pbData[length - 1];
  bool good = pad >= 1 && pad <= block;
  for (DWORD i = 0; good && i < pad; ++i) good = pbData[length - 1 - i] == pad;
  if (!good) return FailWith(NTE_BAD_DATA);
  *pdwDataLen = length - pad;
  return TRUE;
}

}  // extern "C"
