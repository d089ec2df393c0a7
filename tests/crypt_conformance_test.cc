// CryptoAPI conformance: the same cases run against our OpenSSL layer on Linux
// and the real CryptoAPI on Windows (under Wine), driven by the reference
// vectors that Windows produced, then through CCrypt.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crypto/ccrypt.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace ambercrypt {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

struct CryptoVector {
  std::string op, alg;
  Bytes material, iv, input, output;
};

std::vector<std::vector<std::string>> ReadTable(const std::string &file) {
  std::ifstream in(test::TestDataPath(file));
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> row;
    std::string f;
    while (fields >> f) row.push_back(f);
    rows.push_back(row);
  }
  return rows;
}

std::vector<CryptoVector> CryptoVectors() {
  std::vector<CryptoVector> out;
  for (const auto &r : ReadTable("crypto.txt")) {
    out.push_back({r.at(0), r.at(1), FromHex(r.at(2)), FromHex(r.at(3)), FromHex(r.at(4)), FromHex(r.at(5))});
  }
  return out;
}

ALG_ID AlgorithmOf(const std::string &name) { return name == "aes256" ? CALG_AES_256 : CALG_3DES; }

// A provider context owned for one test.
struct Provider {
  explicit Provider(DWORD type) { ok = CryptAcquireContextA(&handle, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT); }
  ~Provider() {
    if (ok) CryptReleaseContext(handle, 0);
  }
  HCRYPTPROV handle = 0;
  BOOL ok;
};

HCRYPTKEY DeriveRaw(HCRYPTPROV prov, ALG_ID alg, const Bytes &material) {
  HCRYPTHASH hash = 0;
  EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  EXPECT_TRUE(CryptHashData(hash, material.data(), static_cast<DWORD>(material.size()), 0));
  HCRYPTKEY key = 0;
  EXPECT_TRUE(CryptDeriveKey(prov, alg, hash, CRYPT_EXPORTABLE | CRYPT_CREATE_SALT, &key));
  CryptDestroyHash(hash);
  return key;
}

TEST(CryptVectorsTest, PlatformFunctionsGiveTheReferenceBytes) {
  auto vectors = CryptoVectors();
  ASSERT_EQ(192u, vectors.size());
  for (const CryptoVector &v : vectors) {
    ALG_ID alg = AlgorithmOf(v.alg);
    Provider prov(alg == CALG_3DES ? PROV_RSA_FULL : PROV_RSA_AES);
    ASSERT_TRUE(prov.ok);
    HCRYPTKEY key = DeriveRaw(prov.handle, alg, v.material);
    if (v.op == "encrypt") {
      DWORD blockBits = 0, size = sizeof blockBits;
      ASSERT_TRUE(CryptGetKeyParam(key, KP_BLOCKLEN, reinterpret_cast<BYTE *>(&blockBits), &size, 0));
      Bytes iv(blockBits / 8, 0);
      memcpy(iv.data(), v.iv.data(), std::min(iv.size(), v.iv.size()));
      ASSERT_TRUE(CryptSetKeyParam(key, KP_IV, iv.data(), 0));
      Bytes buffer = v.input;
      buffer.resize(v.input.size() + 32);
      DWORD length = static_cast<DWORD>(v.input.size());
      ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &length, static_cast<DWORD>(buffer.size())));
      buffer.resize(length);
      EXPECT_EQ(ToHex(v.output), ToHex(buffer)) << v.alg << " " << ToHex(v.input);
    } else {
      HCRYPTHASH mac = 0;
      ASSERT_TRUE(CryptCreateHash(prov.handle, CALG_HMAC, key, 0, &mac));
      HMAC_INFO info;
      memset(&info, 0, sizeof info);
      info.HashAlgid = CALG_SHA1;
      ASSERT_TRUE(CryptSetHashParam(mac, HP_HMAC_INFO, reinterpret_cast<BYTE *>(&info), 0));
      ASSERT_TRUE(CryptHashData(mac, v.input.data(), static_cast<DWORD>(v.input.size()), 0));
      Bytes value(20);
      DWORD length = 20;
      ASSERT_TRUE(CryptGetHashParam(mac, HP_HASHVAL, value.data(), &length, 0));
      EXPECT_EQ(ToHex(v.output), ToHex(value)) << v.alg << " " << ToHex(v.input);
      CryptDestroyHash(mac);
    }
    CryptDestroyKey(key);
  }
}

TEST(CryptVectorsTest, CCryptGivesTheReferenceBytesAndDecryptsThem) {
  for (const CryptoVector &v : CryptoVectors()) {
    CCrypt crypt;
    ASSERT_EQ(0u, crypt.SetAlgorithm(AlgorithmOf(v.alg)));
    if (v.op == "encrypt") {
      uint32_t size = static_cast<uint32_t>(v.input.size());
      ASSERT_EQ(0u, crypt.Encrypt(nullptr, &size, 0, v.material.data(), static_cast<uint32_t>(v.material.size()),
                                  v.iv.data(), static_cast<uint32_t>(v.iv.size())));
      EXPECT_EQ(v.output.size(), size);
      Bytes buffer = v.input;
      buffer.resize(size);
      uint32_t length = static_cast<uint32_t>(v.input.size());
      ASSERT_EQ(0u, crypt.Encrypt(buffer.data(), &length, size, v.material.data(),
                                  static_cast<uint32_t>(v.material.size()), v.iv.data(),
                                  static_cast<uint32_t>(v.iv.size())));
      EXPECT_EQ(ToHex(v.output), ToHex(buffer));
      ASSERT_EQ(0u, crypt.Decrypt(buffer.data(), &length, v.material.data(), static_cast<uint32_t>(v.material.size()),
                                  v.iv.data(), static_cast<uint32_t>(v.iv.size())));
      buffer.resize(length);
      EXPECT_EQ(ToHex(v.input), ToHex(buffer));
    } else {
      Bytes mac(20);
      uint32_t length = 20;
      ASSERT_EQ(0u, crypt.Hmac(v.input.data(), static_cast<uint32_t>(v.input.size()), mac.data(), &length,
                               v.material.data(), static_cast<uint32_t>(v.material.size())));
      EXPECT_EQ(ToHex(v.output), ToHex(mac));
    }
  }
}

const uint8_t kMaterial[] = "material";
const uint8_t kIv[] = "0123456789abcdefXYZ";

TEST(CCryptTest, SizeQueries) {
  CCrypt crypt;
  uint32_t n = 5;
  EXPECT_EQ(0u, crypt.Encrypt(nullptr, &n, 0, kMaterial, 8, kIv, 16));
  EXPECT_EQ(8u, n);
  n = 8;
  EXPECT_EQ(0u, crypt.Encrypt(nullptr, &n, 0, kMaterial, 8, kIv, 16));
  EXPECT_EQ(16u, n);
  ASSERT_EQ(0u, crypt.SetAlgorithm(CALG_AES_256));
  n = 16;
  EXPECT_EQ(0u, crypt.Encrypt(nullptr, &n, 0, kMaterial, 8, kIv, 16));
  EXPECT_EQ(32u, n);
}

TEST(CCryptTest, ShortBufferIsNteBadLenAndUntouched) {
  CCrypt crypt;
  ASSERT_EQ(0u, crypt.SetAlgorithm(CALG_AES_256));
  Bytes buffer(15, 0x33);
  uint32_t n = 15;
  EXPECT_EQ(static_cast<uint32_t>(NTE_BAD_LEN), crypt.Encrypt(buffer.data(), &n, 15, kMaterial, 8, kIv, 16));
  EXPECT_EQ(16u, n);
  EXPECT_EQ(Bytes(15, 0x33), buffer);
}

// From 0xFFFFFFF0 (AES) and 0xFFFFFFF8 (3DES) bytes on, the padded length
// passes 0xFFFFFFFF, where CryptEncrypt's DWORD wraps (Windows then answers a
// size of 0). CCrypt refuses such data with ERROR_ARITHMETIC_OVERFLOW, size
// query or not, before reading or writing a byte; the longest data that fits
// is sized as usual. Decryption refuses a length of no whole blocks before it
// copies anything.
TEST(CCryptTest, LengthsPastTheLastWholeCiphertextAreRefused) {
  uint8_t *wild = static_cast<uint8_t *>(test::InaccessibleAddress());
  ASSERT_NE(nullptr, wild);
  const uint32_t overflow = ERROR_ARITHMETIC_OVERFLOW;
  struct Case {
    ALG_ID algorithm;
    uint32_t length;
    uint32_t cipherSize;  // 0: does not fit
  };
  const Case cases[] = {
      {CALG_AES_256, 0xFFFFFFEFu, 0xFFFFFFF0u}, {CALG_AES_256, 0xFFFFFFF0u, 0}, {CALG_AES_256, 0xFFFFFFFFu, 0},
      {CALG_3DES, 0xFFFFFFF7u, 0xFFFFFFF8u},    {CALG_3DES, 0xFFFFFFF8u, 0},    {CALG_3DES, 0xFFFFFFFFu, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.algorithm << " " << c.length);
    CCrypt crypt;
    ASSERT_EQ(0u, crypt.SetAlgorithm(c.algorithm));
    uint32_t n = c.length;
    if (c.cipherSize != 0) {
      EXPECT_EQ(0u, crypt.Encrypt(nullptr, &n, 0, kMaterial, 8, kIv, 16));
      EXPECT_EQ(c.cipherSize, n);
      continue;
    }
    EXPECT_EQ(overflow, crypt.Encrypt(nullptr, &n, 0, kMaterial, 8, kIv, 16));
    EXPECT_EQ(c.length, n);
    EXPECT_EQ(overflow, crypt.Encrypt(wild, &n, 0xFFFFFFFFu, kMaterial, 8, kIv, 16));
    EXPECT_EQ(c.length, n);
    const uint32_t partBlock = c.length | 1;
    n = partBlock;
    EXPECT_EQ(static_cast<uint32_t>(NTE_BAD_DATA), crypt.Decrypt(wild, &n, kMaterial, 8, kIv, 16));
    EXPECT_EQ(partBlock, n);
  }
}

TEST(CCryptTest, ArgumentChecksInOrder) {
  CCrypt crypt;
  uint8_t buffer[16] = {0};
  uint32_t n = 0;
  EXPECT_EQ(87u, crypt.Encrypt(buffer, &n, 16, kMaterial, 8, kIv, 16));
  n = 4;
  EXPECT_EQ(87u, crypt.Encrypt(buffer, nullptr, 16, kMaterial, 8, kIv, 16));
  EXPECT_EQ(87u, crypt.Encrypt(buffer, &n, 16, nullptr, 8, kIv, 16));
  EXPECT_EQ(87u, crypt.Encrypt(buffer, &n, 16, kMaterial, 0, kIv, 16));
  EXPECT_EQ(87u, crypt.Encrypt(buffer, &n, 16, kMaterial, 8, nullptr, 16));
  EXPECT_EQ(87u, crypt.Encrypt(buffer, &n, 0, kMaterial, 8, kIv, 16));
  EXPECT_EQ(87u, crypt.Encrypt(buffer, &n, 16, kMaterial, 8, kIv, 0));  // from the IV step
  EXPECT_EQ(87u, crypt.Decrypt(nullptr, &n, kMaterial, 8, kIv, 16));
  uint8_t mac[20];
  uint32_t macLength = 20;
  EXPECT_EQ(87u, crypt.Hmac(buffer, 4, mac, &macLength, kMaterial, 0));
  EXPECT_EQ(87u, crypt.Hash(buffer, 0, mac, &macLength));
  EXPECT_EQ(87u, crypt.FindCertificate(nullptr));
}

TEST(CCryptTest, DecryptFailuresLeaveTheBuffer) {
  CCrypt crypt;
  Bytes seven(7, 0x41);
  uint32_t n = 7;
  EXPECT_EQ(static_cast<uint32_t>(NTE_BAD_DATA), crypt.Decrypt(seven.data(), &n, kMaterial, 8, kIv, 8));
  EXPECT_EQ(Bytes(7, 0x41), seven);
  EXPECT_EQ(7u, n);

  Bytes block(16, 0);
  uint32_t length = 5;
  ASSERT_EQ(0u, crypt.Encrypt(block.data(), &length, 16, kMaterial, 8, kIv, 8));
  Bytes cipher(block.begin(), block.begin() + length);
  const uint8_t other[] = "other";
  EXPECT_EQ(static_cast<uint32_t>(NTE_BAD_DATA), crypt.Decrypt(block.data(), &length, other, 5, kIv, 8));
  EXPECT_EQ(cipher, Bytes(block.begin(), block.begin() + 8));
}

TEST(CCryptTest, ShortIvIsZeroFilledAndLongIvTruncated) {
  CCrypt crypt;
  const uint8_t shortIv[] = {1, 2, 3, 4};
  const uint8_t paddedIv[] = {1, 2, 3, 4, 0, 0, 0, 0, 9, 9};
  Bytes a(16, 'p'), b(16, 'p');
  uint32_t na = 8, nb = 8;
  ASSERT_EQ(0u, crypt.Encrypt(a.data(), &na, 16, kMaterial, 8, shortIv, 4));
  ASSERT_EQ(0u, crypt.Encrypt(b.data(), &nb, 16, kMaterial, 8, paddedIv, 10));
  EXPECT_EQ(a, b);
  // AES takes 16 bytes of the same material.
  ASSERT_EQ(0u, crypt.SetAlgorithm(CALG_AES_256));
  Bytes c(32, 'p'), d(32, 'p');
  uint32_t nc = 8, nd = 8;
  ASSERT_EQ(0u, crypt.Encrypt(c.data(), &nc, 32, kMaterial, 8, kIv, 16));
  ASSERT_EQ(0u, crypt.Encrypt(d.data(), &nd, 32, kMaterial, 8, kIv, 19));
  EXPECT_EQ(c, d);
  EXPECT_EQ(16u, nc);
}

// One CCrypt keeps the key it derived last. Whatever ran on it before, each
// operation must give what a fresh CCrypt gives.
TEST(CCryptTest, AKeptKeyAnswersAsAFreshOne) {
  const Bytes a(kMaterial, kMaterial + 8), b = {'o', 't', 'h', 'e', 'r'};
  const Bytes iv1(kIv, kIv + 16), iv2 = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
  const Bytes plain = {'a', ' ', 'B', 'I', 'R', ' ', 'o', 'f', ' ', 'n', 'i', 'n', 'e', 't', 'e', 'e', 'n', '.', '.'};
  enum Op { kEncrypt, kDecrypt, kDecryptGarbage, kHmac };
  struct Step {
    Op op;
    ALG_ID algorithm;
    const Bytes *material;
    const Bytes *iv;
  };
  const Step steps[] = {
      {kEncrypt, CALG_3DES, &a, &iv1},       {kEncrypt, CALG_3DES, &a, &iv1},     {kEncrypt, CALG_3DES, &a, &iv2},
      {kDecrypt, CALG_3DES, &a, &iv2},       {kEncrypt, CALG_3DES, &b, &iv1},     {kEncrypt, CALG_3DES, &a, &iv1},
      {kHmac, CALG_3DES, &a, &iv1},          {kEncrypt, CALG_3DES, &a, &iv1},     {kDecryptGarbage, CALG_3DES, &a, &iv1},
      {kDecrypt, CALG_3DES, &a, &iv1},       {kEncrypt, CALG_AES_256, &a, &iv1},  {kDecrypt, CALG_AES_256, &a, &iv1},
      {kEncrypt, CALG_3DES, &a, &iv1},
  };
  auto run = [&](CCrypt &crypt, const Step &step, Bytes *out) -> uint32_t {
    if (crypt.key_algorithm() != step.algorithm) crypt.SetAlgorithm(step.algorithm);
    const auto materialLength = static_cast<uint32_t>(step.material->size());
    const auto ivLength = static_cast<uint32_t>(step.iv->size());
    Bytes buffer(64, 0);
    uint32_t length = static_cast<uint32_t>(plain.size());
    std::copy(plain.begin(), plain.end(), buffer.begin());
    uint32_t rc = 0;
    switch (step.op) {
      case kEncrypt:
        rc = crypt.Encrypt(buffer.data(), &length, 64, step.material->data(), materialLength, step.iv->data(), ivLength);
        break;
      case kDecrypt: {
        rc = crypt.Encrypt(buffer.data(), &length, 64, step.material->data(), materialLength, step.iv->data(),
                           ivLength);
        if (rc == 0) {
          rc = crypt.Decrypt(buffer.data(), &length, step.material->data(), materialLength, step.iv->data(), ivLength);
        }
        break;
      }
      case kDecryptGarbage:
        length = 16;
        rc = crypt.Decrypt(buffer.data(), &length, step.material->data(), materialLength, step.iv->data(), ivLength);
        break;
      case kHmac:
        length = 20;
        rc = crypt.Hmac(plain.data(), static_cast<uint32_t>(plain.size()), buffer.data(), &length,
                        step.material->data(), materialLength);
        break;
    }
    out->assign(buffer.begin(), buffer.begin() + length);
    return rc;
  };
  CCrypt kept;
  for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
    SCOPED_TRACE(i);
    CCrypt fresh;
    Bytes fromKept, fromFresh;
    EXPECT_EQ(run(fresh, steps[i], &fromFresh), run(kept, steps[i], &fromKept));
    EXPECT_EQ(ToHex(fromFresh), ToHex(fromKept));
  }
}

TEST(CryptPlatformTest, WindowsErrorsForBuffersAndPadding) {
  Provider prov(PROV_RSA_FULL);
  ASSERT_TRUE(prov.ok);
  HCRYPTKEY key = DeriveRaw(prov.handle, CALG_3DES, Bytes(kMaterial, kMaterial + 8));
  uint8_t buffer[16] = {1, 2, 3};
  DWORD n = 3;
  EXPECT_FALSE(CryptEncrypt(key, 0, TRUE, 0, buffer, &n, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
  EXPECT_EQ(8u, n);
  n = 3;
  ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, buffer, &n, sizeof buffer));
  buffer[7] ^= 0x5a;  // the padding no longer checks out
  EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, buffer, &n));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
  n = 12;
  EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, buffer, &n));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_DATA), GetLastError());
  CryptDestroyKey(key);
}

TEST(CryptPlatformTest, AesNeedsTheAesProvider) {
  Provider full(PROV_RSA_FULL);
  ASSERT_TRUE(full.ok);
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(full.handle, CALG_SHA1, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, kMaterial, 8, 0));
  HCRYPTKEY key = 0;
  EXPECT_FALSE(CryptDeriveKey(full.handle, CALG_AES_256, hash, 0, &key));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
  CryptDestroyHash(hash);
}

// ---- Handles that are not live --------------------------------------------

// SHA-1 of the 8 bytes of kMaterial ("material"), as sha1sum gives it.
const char kMaterialSha1[] = "97912524f34763ab6302e4b51be6391c8a4f6200";

// The states a caller may hold a handle in by mistake: never set, pointing at
// memory that holds no handle (a zeroed block: the real DLLs read the handle's
// header from it, so a random pointer would crash them), closed, or left over
// from a provider context released since.
enum DeadState { kNullHandle, kGarbageHandle, kClosedHandle, kOrphanedHandle, kDeadStates };
const char *const kDeadStateNames[kDeadStates] = {"null", "garbage", "closed", "orphaned"};
enum class HandleOf { kProvider, kHash, kKey };
// In a row's column: the state does not apply to the handle's kind.
constexpr DWORD kNoSuchState = 0;

// The live handles a call takes besides the dead one: a provider context, an
// unfinished SHA-1 hash and a 3DES key made under it.
struct LiveHandles {
  LiveHandles() {
    ok = CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
         CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) && CryptHashData(hash, kMaterial, 8, 0);
    key = ok ? DeriveRaw(prov, CALG_3DES, Bytes(kMaterial, kMaterial + 8)) : 0;
    ok = ok && key != 0;
  }
  ~LiveHandles() {
    if (key != 0) CryptDestroyKey(key);
    if (hash != 0) CryptDestroyHash(hash);
    if (prov != 0) CryptReleaseContext(prov, 0);
  }
  HCRYPTPROV prov = 0;
  HCRYPTHASH hash = 0;
  HCRYPTKEY key = 0;
  bool ok = false;
  BYTE buffer[64] = {1, 2, 3, 4, 5};
};

// A handle of the kind in the state; *owner is a provider context to release
// once the call is made (a closed hash's or key's), else 0.
ULONG_PTR MakeDeadHandle(HandleOf kind, DeadState state, void *zeroed, HCRYPTPROV *owner) {
  *owner = 0;
  if (state == kNullHandle) return 0;
  if (state == kGarbageHandle) return reinterpret_cast<ULONG_PTR>(zeroed);
  HCRYPTPROV prov = 0;
  EXPECT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  if (kind == HandleOf::kProvider) {
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    return prov;
  }
  HCRYPTHASH hash = 0;
  EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  EXPECT_TRUE(CryptHashData(hash, kMaterial, 8, 0));
  ULONG_PTR handle = hash;
  if (kind == HandleOf::kKey) {
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptDeriveKey(prov, CALG_3DES, hash, 0, &key));
    EXPECT_TRUE(CryptDestroyHash(hash));
    handle = key;
  }
  if (state == kOrphanedHandle) {
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    return handle;
  }
  EXPECT_TRUE(kind == HandleOf::kHash ? CryptDestroyHash(handle) : CryptDestroyKey(handle));
  *owner = prov;
  return handle;
}

// In a row's orphaned column: Windows lets a hash or key whose provider
// context was released seed a key or an HMAC under another, live context.
// Ours answers ERROR_INVALID_PARAMETER there on purpose: a context's release
// destroys its hashes and keys, since no later call could free them (Windows
// refuses to destroy them once their context is gone).
constexpr DWORD kSeedsAnotherContext = 0xFFFFFFFFu;

// Every call refuses a handle that is not live, and says so in the same words
// on both targets: ERROR_INVALID_PARAMETER, except where a call has its own
// answer for a null handle. A hash or key does not outlive its provider.
TEST(CryptHandleTest, DeadHandlesAreRefusedAsWindowsRefusesThem) {
  constexpr DWORD kInvalid = ERROR_INVALID_PARAMETER;
  struct Case {
    const char *call;
    HandleOf kind;
    BOOL (*run)(ULONG_PTR dead, LiveHandles &live);
    DWORD expected[kDeadStates];  // null, garbage, closed, orphaned
  };
  const Case cases[] = {
      {"CryptReleaseContext", HandleOf::kProvider, [](ULONG_PTR h, LiveHandles &) { return CryptReleaseContext(h, 0); },
       {kInvalid, kInvalid, kInvalid, kNoSuchState}},
      {"CryptCreateHash", HandleOf::kProvider,
       [](ULONG_PTR h, LiveHandles &) {
         HCRYPTHASH out = 0;
         BOOL ok = CryptCreateHash(h, CALG_SHA1, 0, 0, &out);
         if (ok) CryptDestroyHash(out);
         return ok;
       },
       {kInvalid, kInvalid, kInvalid, kNoSuchState}},
      {"CryptDeriveKey (provider)", HandleOf::kProvider,
       [](ULONG_PTR h, LiveHandles &live) {
         HCRYPTKEY out = 0;
         BOOL ok = CryptDeriveKey(h, CALG_3DES, live.hash, 0, &out);
         if (ok) CryptDestroyKey(out);
         return ok;
       },
       {kInvalid, kInvalid, kInvalid, kNoSuchState}},
      {"CryptHashData", HandleOf::kHash, [](ULONG_PTR h, LiveHandles &live) { return CryptHashData(h, live.buffer, 5, 0); },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
      {"CryptGetHashParam", HandleOf::kHash,
       [](ULONG_PTR h, LiveHandles &live) {
         DWORD n = 20;
         return CryptGetHashParam(h, HP_HASHVAL, live.buffer, &n, 0);
       },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
      {"CryptSetHashParam", HandleOf::kHash,
       [](ULONG_PTR h, LiveHandles &) {
         HMAC_INFO info;
         memset(&info, 0, sizeof info);
         info.HashAlgid = CALG_SHA1;
         return CryptSetHashParam(h, HP_HMAC_INFO, reinterpret_cast<const BYTE *>(&info), 0);
       },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
      {"CryptDestroyHash", HandleOf::kHash, [](ULONG_PTR h, LiveHandles &) { return CryptDestroyHash(h); },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
      {"CryptDeriveKey (hash)", HandleOf::kHash,
       [](ULONG_PTR h, LiveHandles &live) {
         HCRYPTKEY out = 0;
         BOOL ok = CryptDeriveKey(live.prov, CALG_3DES, h, 0, &out);
         if (ok) CryptDestroyKey(out);
         return ok;
       },
       {kInvalid, kInvalid, kInvalid, kSeedsAnotherContext}},
      {"CryptCreateHash (HMAC key)", HandleOf::kKey,
       [](ULONG_PTR h, LiveHandles &live) {
         HCRYPTHASH out = 0;
         BOOL ok = CryptCreateHash(live.prov, CALG_HMAC, h, 0, &out);
         if (ok) CryptDestroyHash(out);
         return ok;
       },
       {static_cast<DWORD>(NTE_BAD_KEY), kInvalid, kInvalid, kSeedsAnotherContext}},
      {"CryptGetKeyParam", HandleOf::kKey,
       [](ULONG_PTR h, LiveHandles &live) {
         DWORD n = 4;
         return CryptGetKeyParam(h, KP_BLOCKLEN, live.buffer, &n, 0);
       },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
      {"CryptSetKeyParam", HandleOf::kKey,
       [](ULONG_PTR h, LiveHandles &live) { return CryptSetKeyParam(h, KP_IV, live.buffer, 0); },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
      {"CryptEncrypt", HandleOf::kKey,
       [](ULONG_PTR h, LiveHandles &live) {
         DWORD n = 5;
         return CryptEncrypt(h, 0, TRUE, 0, live.buffer, &n, sizeof live.buffer);
       },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
      {"CryptDecrypt", HandleOf::kKey,
       [](ULONG_PTR h, LiveHandles &live) {
         DWORD n = 8;
         return CryptDecrypt(h, 0, TRUE, 0, live.buffer, &n);
       },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
      {"CryptDestroyKey", HandleOf::kKey, [](ULONG_PTR h, LiveHandles &) { return CryptDestroyKey(h); },
       {kInvalid, kInvalid, kInvalid, kInvalid}},
  };
  alignas(16) static uint8_t zeroed[256];
  for (const Case &c : cases) {
    for (int state = 0; state < kDeadStates; ++state) {
      DWORD expected = c.expected[state];
      if (expected == kNoSuchState) continue;
      SCOPED_TRACE(testing::Message() << c.call << ", " << kDeadStateNames[state] << " handle");
      LiveHandles live;
      ASSERT_TRUE(live.ok);
      HCRYPTPROV owner = 0;
      const ULONG_PTR dead = MakeDeadHandle(c.kind, static_cast<DeadState>(state), zeroed, &owner);
      SetLastError(0xdeadbeef);
      const BOOL ok = c.run(dead, live);
#if defined(_WIN32)
      if (expected == kSeedsAnotherContext) {
        EXPECT_TRUE(ok) << GetLastError();
        continue;
      }
#else
      if (expected == kSeedsAnotherContext) expected = kInvalid;
#endif
      EXPECT_FALSE(ok);
      EXPECT_EQ(expected, GetLastError());
      if (owner != 0) {
        EXPECT_TRUE(CryptReleaseContext(owner, 0));
      }
    }
  }
  EXPECT_EQ(Bytes(sizeof zeroed, 0), Bytes(zeroed, zeroed + sizeof zeroed));
}

// A release with flags fails, yet the context is gone, and with it its
// hashes and keys.
TEST(CryptHandleTest, ReleaseWithFlagsFailsButReleases) {
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptReleaseContext(prov, 1));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_FLAGS), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptReleaseContext(prov, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptHashData(hash, kMaterial, 8, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

// Releasing one provider context takes its own hashes and keys and leaves
// another's alone, in this thread and while another thread acquires and
// releases contexts of its own.
TEST(CryptHandleTest, ReleasingOneProviderLeavesAnotherAlone) {
  auto digestOf = [](HCRYPTHASH hash, Bytes *out) {
    DWORD n = 20;
    out->assign(20, 0);
    return CryptGetHashParam(hash, HP_HASHVAL, out->data(), &n, 0) && n == 20;
  };
  // Work under a context released with its hashes and key still open, which
  // go with it.
  auto churn = [&](int rounds, int *failures) {
    for (int i = 0; i < rounds; ++i) {
      HCRYPTPROV prov = 0;
      HCRYPTHASH hash = 0, open = 0;
      HCRYPTKEY key = 0;
      Bytes digest;
      bool ok = CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
                CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) && CryptHashData(hash, kMaterial, 8, 0) &&
                CryptDeriveKey(prov, CALG_3DES, hash, 0, &key) && digestOf(hash, &digest) &&
                CryptCreateHash(prov, CALG_SHA1, 0, 0, &open) && CryptHashData(open, kMaterial, 8, 0) &&
                ToHex(digest) == kMaterialSha1 && CryptReleaseContext(prov, 0);
      uint8_t block[8] = {};
      DWORD n = sizeof block;
      ok = ok && !CryptHashData(open, kMaterial, 8, 0) && GetLastError() == ERROR_INVALID_PARAMETER &&
           !CryptEncrypt(key, 0, FALSE, 0, block, &n, n) && GetLastError() == ERROR_INVALID_PARAMETER;
      if (!ok) ++*failures;
    }
  };
  HCRYPTPROV kept = 0;
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptAcquireContextA(&kept, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  ASSERT_TRUE(CryptCreateHash(kept, CALG_SHA1, 0, 0, &hash));
  HCRYPTKEY key = DeriveRaw(kept, CALG_3DES, Bytes(kMaterial, kMaterial + 8));
  ASSERT_NE(0u, key);
  int failures = 0;
  churn(20, &failures);
  EXPECT_EQ(0, failures);

  int otherFailures = 0;
  std::thread other(churn, 300, &otherFailures);
  int keptFailures = 0;
  uint8_t block[8] = {};
  for (int i = 0; i < 300; ++i) {
    DWORD n = sizeof block;
    if (!CryptHashData(hash, kMaterial, 8, 0) || !CryptEncrypt(key, 0, FALSE, 0, block, &n, n)) ++keptFailures;
  }
  other.join();
  EXPECT_EQ(0, otherFailures);
  EXPECT_EQ(0, keptFailures);
  Bytes digest;
  EXPECT_TRUE(digestOf(hash, &digest));
  EXPECT_TRUE(CryptDestroyKey(key));
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_TRUE(CryptReleaseContext(kept, 0));
}

// ---- Flags and parameters --------------------------------------------------

// CRYPT_USERDATA is accepted and hashes as no flag does.
TEST(CryptParamTest, UserDataFlagHashesAsNoFlag) {
  Provider prov(PROV_RSA_FULL);
  ASSERT_TRUE(prov.ok);
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov.handle, CALG_SHA1, 0, 0, &hash));
  EXPECT_TRUE(CryptHashData(hash, kMaterial, 8, CRYPT_USERDATA));
  Bytes digest(20);
  DWORD n = 20;
  EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &n, 0));
  EXPECT_EQ(kMaterialSha1, ToHex(digest));
  EXPECT_TRUE(CryptDestroyHash(hash));
}

// A derived 3DES or AES key has no salt to give: KP_SALT is NTE_BAD_KEY, the
// size and the buffer left as they were.
TEST(CryptParamTest, SaltOfABlockCipherKeyIsRefused) {
  for (ALG_ID alg : {CALG_3DES, CALG_AES_256}) {
    SCOPED_TRACE(alg);
    Provider prov(alg == CALG_3DES ? PROV_RSA_FULL : PROV_RSA_AES);
    ASSERT_TRUE(prov.ok);
    HCRYPTKEY key = DeriveRaw(prov.handle, alg, Bytes(kMaterial, kMaterial + 8));
    DWORD n = 99;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptGetKeyParam(key, KP_SALT, nullptr, &n, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());
    EXPECT_EQ(99u, n);
    uint8_t salt[16];
    memset(salt, 0xee, sizeof salt);
    n = sizeof salt;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CryptGetKeyParam(key, KP_SALT, salt, &n, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());
    EXPECT_EQ(sizeof salt, n);
    EXPECT_EQ(Bytes(sizeof salt, 0xee), Bytes(salt, salt + sizeof salt));
    CryptDestroyKey(key);
  }
}

// ---- Lengths, padding and short buffers ------------------------------------

struct CipherKind {
  const char *name;
  DWORD providerType;
  ALG_ID algorithm;
  DWORD block;  // bytes
};
const CipherKind kCiphers[] = {{"3DES", PROV_RSA_FULL, CALG_3DES, 8}, {"AES-256", PROV_RSA_AES, CALG_AES_256, 16}};

// A key of the cipher from kMaterial, its IV set to zeros.
HCRYPTKEY CipherKey(HCRYPTPROV prov, const CipherKind &cipher) {
  HCRYPTKEY key = DeriveRaw(prov, cipher.algorithm, Bytes(kMaterial, kMaterial + 8));
  const uint8_t zeros[16] = {};
  EXPECT_TRUE(CryptSetKeyParam(key, KP_IV, zeros, 0));
  return key;
}

enum CipherOp { kEncrypt, kEncryptSize, kDecrypt };
struct LengthCase {
  const char *what;
  CipherOp op;
  BOOL final;
  DWORD blocks;
  int extra;       // bytes beyond (or short of) the whole blocks
  DWORD expected;  // 0: succeeds
};

// Runs each case with a fresh key of each cipher: a refusal leaves the length
// and every byte as they were.
void ExpectLengthAnswers(const LengthCase *cases, size_t count) {
  for (const CipherKind &cipher : kCiphers) {
    Provider prov(cipher.providerType);
    ASSERT_TRUE(prov.ok);
    for (const LengthCase &c : std::vector<LengthCase>(cases, cases + count)) {
      SCOPED_TRACE(testing::Message() << cipher.name << ": " << c.what);
      HCRYPTKEY key = CipherKey(prov.handle, cipher);
      // The data starts inside the storage, after a byte a final decryption
      // of nothing might take for padding.
      uint8_t storage[64];
      memset(storage, 0x01, sizeof storage);
      uint8_t *data = storage + 16;
      const DWORD length = static_cast<DWORD>(static_cast<int>(c.blocks * cipher.block) + c.extra);
      DWORD n = length;
      SetLastError(0xdeadbeef);
      BOOL ok = FALSE;
      switch (c.op) {
        case kEncrypt: ok = CryptEncrypt(key, 0, c.final, 0, data, &n, 48); break;
        case kEncryptSize: ok = CryptEncrypt(key, 0, c.final, 0, nullptr, &n, 0); break;
        case kDecrypt: ok = CryptDecrypt(key, 0, c.final, 0, data, &n); break;
      }
      if (c.expected == 0) {
        EXPECT_TRUE(ok) << GetLastError();
        EXPECT_EQ(length, n);
      } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(c.expected, GetLastError());
        EXPECT_EQ(length, n);
        EXPECT_EQ(Bytes(sizeof storage, 0x01), Bytes(storage, storage + sizeof storage));
      }
      CryptDestroyKey(key);
    }
  }
}

const DWORD kBadData = static_cast<DWORD>(NTE_BAD_DATA);

// Encryption that is not final takes whole blocks only, size query or not.
TEST(CryptCipherTest, EncryptLengthsOfNoWholeBlocksAreRefused) {
  const LengthCase cases[] = {
      {"not final, a block and a byte", kEncrypt, FALSE, 1, 1, kBadData},
      {"not final, one byte", kEncrypt, FALSE, 0, 1, kBadData},
      {"size query, not final, a block and a byte", kEncryptSize, FALSE, 1, 1, kBadData},
      {"not final, two blocks", kEncrypt, FALSE, 2, 0, 0},
      {"decrypt, not final, nothing", kDecrypt, FALSE, 0, 0, 0},
  };
  ExpectLengthAnswers(cases, sizeof cases / sizeof cases[0]);
}

// Decryption takes whole blocks only, and a final one at least one block,
// refused before a byte is touched (see the Wine list in test_support.cc).
TEST(CryptCipherTest, DecryptLengthsOfNoWholeBlocksAreRefused) {
  AMBER_SKIP_IF_WINE_DIFFERS();
  const LengthCase cases[] = {
      {"not final, a block and a byte", kDecrypt, FALSE, 1, 1, kBadData},
      {"final, a byte short of a block", kDecrypt, TRUE, 1, -1, kBadData},
      {"final, two blocks and three bytes", kDecrypt, TRUE, 2, 3, kBadData},
      {"final, nothing", kDecrypt, TRUE, 0, 0, kBadData},
  };
  ExpectLengthAnswers(cases, sizeof cases / sizeof cases[0]);
}

// A final decryption checks the padding of its last block: 1 to a block's
// length of bytes, each holding that count.
TEST(CryptCipherTest, BadPaddingIsRefused) {
  struct Case {
    const char *what;
    Bytes tail;      // the last bytes of the one plaintext block
    bool wholeBlock; // the whole block is padding (tail ignored)
    DWORD expected;  // 0: succeeds
    DWORD removed;   // padding bytes taken off when it succeeds
  };
  const DWORD badData = static_cast<DWORD>(NTE_BAD_DATA);
  const Case cases[] = {
      {"a last byte of 0", {0x00}, false, badData, 0},
      {"a last byte past the block length", {0x11}, false, badData, 0},
      {"a count the byte before disagrees with", {0x03, 0x02}, false, badData, 0},
      {"a count a deeper byte disagrees with", {0x05, 0x04, 0x04, 0x04}, false, badData, 0},
      {"two bytes of 2", {0x02, 0x02}, false, 0, 2},
      {"one byte of 1", {0x01}, false, 0, 1},
      {"a whole block of padding", {}, true, 0, 0},
  };
  for (const CipherKind &cipher : kCiphers) {
    Provider prov(cipher.providerType);
    ASSERT_TRUE(prov.ok);
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << cipher.name << ": " << c.what);
      Bytes plain(cipher.block, 0x41);
      if (c.wholeBlock) {
        plain.assign(cipher.block, static_cast<uint8_t>(cipher.block));
      } else {
        std::copy(c.tail.begin(), c.tail.end(), plain.end() - static_cast<long>(c.tail.size()));
      }
      // Enciphered without padding by one key, deciphered by its twin.
      HCRYPTKEY encryptor = CipherKey(prov.handle, cipher);
      HCRYPTKEY decryptor = CipherKey(prov.handle, cipher);
      Bytes buffer = plain;
      DWORD n = cipher.block;
      ASSERT_TRUE(CryptEncrypt(encryptor, 0, FALSE, 0, buffer.data(), &n, n));
      SetLastError(0xdeadbeef);
      BOOL ok = CryptDecrypt(decryptor, 0, TRUE, 0, buffer.data(), &n);
      if (c.expected == 0) {
        EXPECT_TRUE(ok) << GetLastError();
        const DWORD removed = c.wholeBlock ? cipher.block : c.removed;
        EXPECT_EQ(cipher.block - removed, n);
        EXPECT_EQ(ToHex(plain), ToHex(buffer));
      } else {
        EXPECT_FALSE(ok);
        EXPECT_EQ(c.expected, GetLastError());
        EXPECT_EQ(cipher.block, n);
      }
      CryptDestroyKey(encryptor);
      CryptDestroyKey(decryptor);
    }
  }
}

// A query: data written to out, whose capacity is *size; a null out asks the size.
using Query = std::function<BOOL(BYTE *out, DWORD *size)>;

// Each query, given a buffer one byte short, fails with ERROR_MORE_DATA,
// writes back the size it needs (sizeAfter where it writes back another) and
// leaves the buffer as it was; a null buffer asks that size.
void ExpectShortBufferRefused(const char *what, const Query &query, DWORD needed, DWORD sizeAfter) {
  SCOPED_TRACE(what);
  DWORD size = 0;
  EXPECT_TRUE(query(nullptr, &size));
  EXPECT_EQ(needed, size);
  Bytes buffer(needed + 8, 0xee);
  size = needed - 1;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(query(buffer.data(), &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
  EXPECT_EQ(sizeAfter, size);
  EXPECT_EQ(Bytes(needed + 8, 0xee), buffer);
}
void ExpectShortBufferRefused(const char *what, const Query &query, DWORD needed) {
  ExpectShortBufferRefused(what, query, needed, needed);
}

TEST(CryptParamTest, ShortBuffersAreMoreDataAndUntouched) {
  for (const CipherKind &cipher : kCiphers) {
    SCOPED_TRACE(cipher.name);
    Provider prov(cipher.providerType);
    ASSERT_TRUE(prov.ok);
    HCRYPTKEY key = CipherKey(prov.handle, cipher);
    auto keyParam = [&](DWORD param) {
      return [&, param](BYTE *out, DWORD *size) { return CryptGetKeyParam(key, param, out, size, 0); };
    };
    ExpectShortBufferRefused("KP_IV", keyParam(KP_IV), cipher.block);
    ExpectShortBufferRefused("KP_BLOCKLEN", keyParam(KP_BLOCKLEN), 4);
    ExpectShortBufferRefused("KP_KEYLEN", keyParam(KP_KEYLEN), 4);
    ExpectShortBufferRefused("KP_ALGID", keyParam(KP_ALGID), 4);
    ExpectShortBufferRefused("KP_MODE", keyParam(KP_MODE), 4);
    ExpectShortBufferRefused("KP_PADDING", keyParam(KP_PADDING), 4);
    // Five bytes of plaintext pad to one block; the buffer holds them and
    // one byte short of the block.
    ExpectShortBufferRefused(
        "CryptEncrypt",
        [&](BYTE *out, DWORD *size) {
          const DWORD capacity = *size;
          *size = 5;
          return CryptEncrypt(key, 0, TRUE, 0, out, size, capacity);
        },
        cipher.block);
    CryptDestroyKey(key);
  }
  Provider prov(PROV_RSA_FULL);
  ASSERT_TRUE(prov.ok);
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov.handle, CALG_SHA1, 0, 0, &hash));
  auto hashParam = [&](DWORD param) {
    return [&, param](BYTE *out, DWORD *size) { return CryptGetHashParam(hash, param, out, size, 0); };
  };
  ExpectShortBufferRefused("HP_ALGID", hashParam(HP_ALGID), 4);
  ExpectShortBufferRefused("HP_HASHSIZE", hashParam(HP_HASHSIZE), 4);
  ASSERT_TRUE(CryptHashData(hash, kMaterial, 8, 0));
  ExpectShortBufferRefused("HP_HASHVAL", hashParam(HP_HASHVAL), 20);
  // Asking for the value with a buffer, even a short one, ends the hashing.
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptHashData(hash, kMaterial, 8, 0));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_HASH_STATE), GetLastError());
  Bytes digest(20);
  DWORD n = 20;
  EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &n, 0));
  EXPECT_EQ(kMaterialSha1, ToHex(digest));
  CryptDestroyHash(hash);
}

#if !defined(_WIN32)
// Our layer, not Windows': CryptEncrypt refuses a padded length past
// 0xFFFFFFFF with NTE_BAD_LEN, where Windows' DWORD arithmetic wraps.
TEST(CryptPlatformTest, PaddedLengthsPastADwordAreRefused) {
  Provider prov(PROV_RSA_AES);
  ASSERT_TRUE(prov.ok);
  HCRYPTKEY key = DeriveRaw(prov.handle, CALG_AES_256, Bytes(kMaterial, kMaterial + 8));
  DWORD n = 0xFFFFFFEFu;
  ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, nullptr, &n, 0));
  EXPECT_EQ(0xFFFFFFF0u, n);
  for (DWORD length : {0xFFFFFFF0u, 0xFFFFFFFFu}) {
    n = length;
    EXPECT_FALSE(CryptEncrypt(key, 0, TRUE, 0, nullptr, &n, 0)) << length;
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), GetLastError());
    EXPECT_EQ(length, n);
    EXPECT_FALSE(CryptEncrypt(key, 0, TRUE, 0, static_cast<BYTE *>(test::InaccessibleAddress()), &n, 0xFFFFFFFFu));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), GetLastError());
  }
  CryptDestroyKey(key);
}

// OpenSSL takes int lengths: runs of 2 GiB and more go through it in pieces.
// 2 GiB and 1 MiB of address space over one 1 MiB file, mapped again and again,
// enciphered in one call, must come out as 2049 calls over the 1 MiB do, the
// chaining value carried from each to the next (CBC encryption reads each
// block just before it writes it, so the aliases meet no sooner).
TEST(CryptPlatformTest, RunsOfTwoGigabytesAndMoreAreWhole) {
  constexpr size_t kTile = size_t{1} << 20;
  constexpr size_t kTiles = 2049;
  const int fd = memfd_create("ambercrypt-tile", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(kTile)));
  auto *region = static_cast<uint8_t *>(
      mmap(nullptr, kTile * kTiles, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  ASSERT_NE(MAP_FAILED, static_cast<void *>(region));
  bool mapped = true;
  for (size_t i = 0; i < kTiles && mapped; ++i) {
    mapped = mmap(region + i * kTile, kTile, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED;
  }
  Bytes reference(kTile);
  for (size_t i = 0; i < kTile; ++i) reference[i] = region[i] = static_cast<uint8_t>(i * 31 + (i >> 12));

  Provider prov(PROV_RSA_AES);
  ASSERT_TRUE(prov.ok);
  // AES-128, the quickest of the ciphers: 4 GiB go through it here.
  HCRYPTKEY whole = DeriveRaw(prov.handle, CALG_AES_128, Bytes(kMaterial, kMaterial + 8));
  HCRYPTKEY pieces = DeriveRaw(prov.handle, CALG_AES_128, Bytes(kMaterial, kMaterial + 8));
  ASSERT_TRUE(CryptSetKeyParam(whole, KP_IV, kIv, 0));
  ASSERT_TRUE(CryptSetKeyParam(pieces, KP_IV, kIv, 0));
  if (mapped) {
    DWORD n = static_cast<DWORD>(kTile * kTiles);
    EXPECT_TRUE(CryptEncrypt(whole, 0, FALSE, 0, region, &n, n));
    EXPECT_EQ(kTile * kTiles, n);
    for (size_t i = 0; i < kTiles; ++i) {
      n = static_cast<DWORD>(kTile);
      ASSERT_TRUE(CryptEncrypt(pieces, 0, FALSE, 0, reference.data(), &n, n));
    }
    EXPECT_EQ(0, memcmp(reference.data(), region, kTile));
  }
  CryptDestroyKey(whole);
  CryptDestroyKey(pieces);
  munmap(region, kTile * kTiles);
  close(fd);
  ASSERT_TRUE(mapped) << "could not map the tiles";
}
#endif

// ---- Certificates and signed messages --------------------------------------

struct Identity {
  Bytes issuer, serial;
  CERT_ISSUER_SERIAL_NUMBER id() {
    CERT_ISSUER_SERIAL_NUMBER out;
    out.Issuer.cbData = static_cast<DWORD>(issuer.size());
    out.Issuer.pbData = issuer.data();
    out.SerialNumber.cbData = static_cast<DWORD>(serial.size());
    out.SerialNumber.pbData = serial.data();
    return out;
  }
};

class SignedMessageTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::InstallTestCertificates();
    test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(test::TestDataPath("signer.cert.pem"))),
                            &signer_.issuer, &signer_.serial);
    test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(test::FixturePath("keyless.cert.pem"))),
                            &keyless_.issuer, &keyless_.serial);
  }
  // A message signed by the certificate `id` names: size query, then signing.
  static Bytes Signed(CERT_ISSUER_SERIAL_NUMBER id, const Bytes &data) {
    CCrypt crypt;
    uint32_t size = 0;
    EXPECT_EQ(0u, crypt.SignMessage(&id, data.data(), static_cast<uint32_t>(data.size()), nullptr, &size));
    Bytes message(size);
    EXPECT_EQ(0u, crypt.SignMessage(&id, data.data(), static_cast<uint32_t>(data.size()), message.data(), &size));
    message.resize(size);
    return message;
  }

  Identity signer_, keyless_;
};

TEST_F(SignedMessageTest, SerialNumbersAreLittleEndian) {
  EXPECT_EQ("1807f6e5d4c3b2a100", ToHex(signer_.serial));
  EXPECT_EQ("8897a6b5c4d3e2f100", ToHex(keyless_.serial));
}

TEST_F(SignedMessageTest, FindsCertificatesAndReportsTheirInfo) {
  CCrypt crypt;
  CERT_ISSUER_SERIAL_NUMBER id = signer_.id();
  ASSERT_EQ(0u, crypt.FindCertificate(&id));
  // An extra, insignificant zero byte does not matter; the sign byte does.
  Identity padded = signer_;
  padded.serial.push_back(0);
  CERT_ISSUER_SERIAL_NUMBER paddedId = padded.id();
  EXPECT_EQ(0u, crypt.FindCertificate(&paddedId));
  Identity trimmed = signer_;
  trimmed.serial.pop_back();
  CERT_ISSUER_SERIAL_NUMBER trimmedId = trimmed.id();
  EXPECT_EQ(static_cast<uint32_t>(CRYPT_E_NOT_FOUND), crypt.FindCertificate(&trimmedId));

  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_NE(nullptr, store);
  CERT_ID certId;
  memset(&certId, 0, sizeof certId);
  certId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  certId.IssuerSerialNumber = id;
  PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                   CERT_FIND_CERT_ID, &certId, nullptr);
  ASSERT_NE(nullptr, cert);
  const CERT_INFO *info = cert->pCertInfo;
  EXPECT_EQ(ToHex(signer_.serial), ToHex(info->SerialNumber.pbData, info->SerialNumber.cbData));
  EXPECT_EQ(ToHex(signer_.issuer), ToHex(info->Issuer.pbData, info->Issuer.cbData));
  EXPECT_EQ(ToHex(signer_.issuer), ToHex(info->Subject.pbData, info->Subject.cbData));
  EXPECT_STREQ(szOID_RSA_RSA, info->SubjectPublicKeyInfo.Algorithm.pszObjId);
  EXPECT_EQ(270u, info->SubjectPublicKeyInfo.PublicKey.cbData);  // RSAPublicKey of a 2048-bit key
  EXPECT_EQ(2u, info->dwVersion);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
}

TEST_F(SignedMessageTest, MissingCertificateIsNotFound) {
  Identity missing = signer_;
  missing.serial[0] ^= 1;
  CERT_ISSUER_SERIAL_NUMBER id = missing.id();
  CCrypt crypt;
  EXPECT_EQ(static_cast<uint32_t>(CRYPT_E_NOT_FOUND), crypt.FindCertificate(&id));
  uint32_t size = 0;
  const uint8_t data[] = "x";
  EXPECT_EQ(static_cast<uint32_t>(CRYPT_E_NOT_FOUND), crypt.SignMessage(&id, data, 1, nullptr, &size));
}

TEST_F(SignedMessageTest, ReferenceMessagesByteForByte) {
  auto rows = ReadTable("sign.txt");
  ASSERT_FALSE(rows.empty());
  for (const auto &row : rows) {
    Identity who{FromHex(row.at(0)), FromHex(row.at(1))};
    CERT_ISSUER_SERIAL_NUMBER id = who.id();
    Bytes data = FromHex(row.at(2));
    Bytes expected = FromHex(row.at(3));
    CCrypt crypt;
    uint32_t size = 0;
    ASSERT_EQ(0u, crypt.SignMessage(&id, data.data(), static_cast<uint32_t>(data.size()), nullptr, &size));
    EXPECT_EQ(expected.size(), size);
    Bytes message(size);
    ASSERT_EQ(0u, crypt.SignMessage(&id, data.data(), static_cast<uint32_t>(data.size()), message.data(), &size));
    EXPECT_EQ(ToHex(expected), ToHex(message));

    uint32_t contentSize = 0;
    ASSERT_EQ(0u, crypt.VerifyMessage(&id, expected.data(), static_cast<uint32_t>(expected.size()), nullptr,
                                      &contentSize));
    ASSERT_EQ(data.size(), contentSize);
    Bytes content(contentSize);
    ASSERT_EQ(0u, crypt.VerifyMessage(&id, expected.data(), static_cast<uint32_t>(expected.size()), content.data(),
                                      &contentSize));
    EXPECT_EQ(data, content);
  }
}

TEST_F(SignedMessageTest, ShortOutputBufferFails) {
  CERT_ISSUER_SERIAL_NUMBER id = signer_.id();
  const uint8_t data[] = "biometric data";
  CCrypt crypt;
  uint32_t size = 0;
  ASSERT_EQ(0u, crypt.SignMessage(&id, data, 14, nullptr, &size));
  Bytes message(size - 1, 0xee);
  uint32_t shortSize = size - 1;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_MORE_DATA), crypt.SignMessage(&id, data, 14, message.data(), &shortSize));
  EXPECT_EQ(Bytes(size - 1, 0xee), message);

  // A buffer of no capacity is a buffer too short, not a size query.
  uint32_t none = 0;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_MORE_DATA), crypt.SignMessage(&id, data, 14, message.data(), &none));
  EXPECT_EQ(Bytes(size - 1, 0xee), message);
  Bytes full(size);
  ASSERT_EQ(0u, crypt.SignMessage(&id, data, 14, full.data(), &size));
  uint8_t content[14];
  memset(content, 0xee, sizeof content);
  for (uint32_t capacity : {0u, 13u}) {
    uint32_t contentSize = capacity;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_MORE_DATA),
              crypt.VerifyMessage(&id, full.data(), size, content, &contentSize)) << capacity;
    EXPECT_EQ(Bytes(14, 0xee), Bytes(content, content + 14));
  }
}

// Content so long that its message might pass 0xFFFFFFFF bytes is refused
// before a byte of it is read: by CCrypt on both targets (within four
// certificates' length and 512 bytes of 4 GiB), size query or not, the
// output left alone; and by our CryptSignMessage, which reckons the message's
// exact length first (Windows would read it all).
TEST_F(SignedMessageTest, ContentNearFourGigabytesIsRefusedUnread) {
  const auto *wild = static_cast<const uint8_t *>(test::InaccessibleAddress());
  ASSERT_NE(nullptr, wild);
  CERT_ISSUER_SERIAL_NUMBER id = signer_.id();
  for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFC00u}) {
    SCOPED_TRACE(length);
    CCrypt crypt;
    uint32_t size = 0;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_ARITHMETIC_OVERFLOW), crypt.SignMessage(&id, wild, length, nullptr, &size));
    EXPECT_EQ(0u, size);
    Bytes message(64, 0xee);
    size = 64;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_ARITHMETIC_OVERFLOW),
              crypt.SignMessage(&id, wild, length, message.data(), &size));
    EXPECT_EQ(64u, size);
    EXPECT_EQ(Bytes(64, 0xee), message);
  }
#if !defined(_WIN32)
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_NE(nullptr, store);
  CERT_ID certId;
  memset(&certId, 0, sizeof certId);
  certId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  certId.IssuerSerialNumber = id;
  PCCERT_CONTEXT cert = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                   CERT_FIND_CERT_ID, &certId, nullptr);
  ASSERT_NE(nullptr, cert);
  CRYPT_SIGN_MESSAGE_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  para.pSigningCert = cert;
  char oid[] = szOID_RSA_SHA1RSA;
  para.HashAlgorithm.pszObjId = oid;
  para.cMsgCert = 1;
  para.rgpMsgCert = &cert;
  // A few hundred bytes under 4 GiB: the message's framing takes more.
  const BYTE *blocks[1] = {wild};
  DWORD sizes[1] = {0xFFFFFF00u};
  DWORD size = 0;
  EXPECT_FALSE(CryptSignMessage(&para, FALSE, 1, blocks, sizes, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_LEN), GetLastError());
  EXPECT_EQ(0u, size);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
#endif
}

TEST_F(SignedMessageTest, KeylessCertificateCannotSign) {
  CERT_ISSUER_SERIAL_NUMBER keylessId = keyless_.id();
  const uint8_t data[] = "template";
  CCrypt crypt;
  ASSERT_EQ(0u, crypt.FindCertificate(&keylessId));
  uint32_t size = 0;
  EXPECT_NE(0u, crypt.SignMessage(&keylessId, data, 8, nullptr, &size));
}

// A message verifies only when the certificate it names in "ROOT" signed it:
// not a certificate of the store other than the named one, not a throw-away
// certificate, not an impostor that copies the named certificate's issuer and
// serial number onto another key. Both the size query and the read check it.
TEST_F(SignedMessageTest, OnlyTheNamedCertificateMaySign) {
  const std::string text = test::ReadFile(test::FixturePath("other_signers.txt"));
  ASSERT_EQ("content signed by someone else", text);
  const Bytes content(text.begin(), text.end());
  const std::string throwaway = test::ReadFile(test::FixturePath("throwaway.p7"));
  const std::string impostor = test::ReadFile(test::FixturePath("impostor.p7"));
  const Bytes bySigner = Signed(signer_.id(), content);
  const uint32_t notTheSigner = static_cast<uint32_t>(CRYPT_E_SIGNER_NOT_FOUND);
  struct Case {
    const char *what;
    Bytes message;
    Identity *named;
    uint32_t expected;
  };
  const Case cases[] = {
      {"the named signer", bySigner, &signer_, 0},
      {"another certificate of the store", bySigner, &keyless_, notTheSigner},
      {"a throw-away certificate", Bytes(throwaway.begin(), throwaway.end()), &signer_, notTheSigner},
      {"a throw-away certificate, naming the keyless one", Bytes(throwaway.begin(), throwaway.end()), &keyless_,
       notTheSigner},
      {"an impostor with the signer's issuer and serial", Bytes(impostor.begin(), impostor.end()), &signer_,
       notTheSigner},
  };
  for (const Case &c : cases) {
    ASSERT_GT(c.message.size(), 100u) << c.what;
    CERT_ISSUER_SERIAL_NUMBER id = c.named->id();
    const uint32_t size = static_cast<uint32_t>(c.message.size());
    CCrypt crypt;
    uint32_t contentSize = 7;
    EXPECT_EQ(c.expected, crypt.VerifyMessage(&id, c.message.data(), size, nullptr, &contentSize)) << c.what;
    EXPECT_EQ(c.expected == 0 ? content.size() : 7u, contentSize) << c.what;
    Bytes out(64, 0xee);
    uint32_t outSize = 64;
    EXPECT_EQ(c.expected, crypt.VerifyMessage(&id, c.message.data(), size, out.data(), &outSize)) << c.what;
    if (c.expected == 0) {
      EXPECT_EQ(content, Bytes(out.begin(), out.begin() + outSize)) << c.what;
    } else {
      EXPECT_EQ(64u, outSize) << c.what;
      EXPECT_EQ(Bytes(64, 0xee), out) << c.what;
    }
  }
}

// The platform verifies a message with the certificate it carries and hands
// that certificate out, on the size query too, and only when it verified:
// judging who signed is the caller's business.
TEST_F(SignedMessageTest, VerificationHandsOutTheCarriedSigner) {
  const std::string text = test::ReadFile(test::FixturePath("impostor.p7"));
  Bytes message(text.begin(), text.end());
  const Bytes impostor = test::PemCertificateToDer(test::ReadFile(test::FixturePath("impostor.cert.pem")));
  const Bytes genuine = test::PemCertificateToDer(test::ReadFile(test::TestDataPath("signer.cert.pem")));
  ASSERT_FALSE(impostor.empty());
  Identity copied;
  test::IssuerAndSerialOf(impostor, &copied.issuer, &copied.serial);
  EXPECT_EQ(signer_.issuer, copied.issuer);
  EXPECT_EQ(signer_.serial, copied.serial);
  EXPECT_NE(genuine, impostor);

  CRYPT_VERIFY_MESSAGE_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  const DWORD size = static_cast<DWORD>(message.size());
  for (bool sizeQuery : {true, false}) {
    Bytes out(64);
    DWORD outSize = sizeQuery ? 0 : 64;
    PCCERT_CONTEXT signer = nullptr;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, message.data(), size, sizeQuery ? nullptr : out.data(),
                                            &outSize, &signer))
        << sizeQuery;
    EXPECT_EQ(30u, outSize);
    ASSERT_NE(nullptr, signer);
    EXPECT_EQ(test::ToHex(impostor), test::ToHex(signer->pbCertEncoded, signer->cbCertEncoded));
    CertFreeCertificateContext(signer);
  }
  // A failed verification, or content that does not fit, hands out nobody.
  Bytes out(64);
  DWORD outSize = 29;
  PCCERT_CONTEXT signer = reinterpret_cast<PCCERT_CONTEXT>(&out);
  EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, message.data(), size, out.data(), &outSize, &signer));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
  EXPECT_EQ(nullptr, signer);
  message[size - 5] ^= 0x40;  // inside the signature
  outSize = 64;
  signer = reinterpret_cast<PCCERT_CONTEXT>(&out);
  EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, message.data(), size, out.data(), &outSize, &signer));
  EXPECT_EQ(nullptr, signer);
}

TEST_F(SignedMessageTest, TamperedMessagesFail) {
  CERT_ISSUER_SERIAL_NUMBER id = signer_.id();
  const uint8_t data[] = "template";
  CCrypt crypt;
  Bytes message = Signed(id, Bytes(data, data + 8));
  ASSERT_FALSE(message.empty());
  uint32_t size = static_cast<uint32_t>(message.size());
  // The content sits right before the certificate set; change one byte of it.
  Bytes badContent = message;
  size_t at = ToHex(message).find(ToHex(Bytes(data, data + 8))) / 2;
  ASSERT_GT(at, 0u);
  badContent[at] ^= 1;
  uint32_t contentSize = 0;
  EXPECT_NE(0u, crypt.VerifyMessage(&id, badContent.data(), size, nullptr, &contentSize));
  Bytes badSignature = message;
  badSignature[size - 5] ^= 0x40;
  EXPECT_NE(0u, crypt.VerifyMessage(&id, badSignature.data(), size, nullptr, &contentSize));
  Bytes truncated(message.begin(), message.end() - 10);
  EXPECT_NE(0u, crypt.VerifyMessage(&id, truncated.data(), size - 10, nullptr, &contentSize));
}

// ---- Platform-level lookups and messages -----------------------------------

// The certificate a CERT_ID finds in "ROOT" (null when none), and the error
// of the lookup.
PCCERT_CONTEXT FindInRoot(HCERTSTORE store, const CERT_ID &id, PCCERT_CONTEXT previous = nullptr) {
  SetLastError(0xdeadbeef);
  return CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_CERT_ID, &id,
                                    previous);
}

CERT_ID IssuerSerialId(const CERT_ISSUER_SERIAL_NUMBER &issuerSerial) {
  CERT_ID id;
  memset(&id, 0, sizeof id);
  id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  id.IssuerSerialNumber = issuerSerial;
  return id;
}

CERT_ID BlobId(DWORD choice, Bytes &blob) {
  CERT_ID id;
  memset(&id, 0, sizeof id);
  id.dwIdChoice = choice;
  id.HashId.cbData = static_cast<DWORD>(blob.size());
  id.HashId.pbData = blob.data();
  return id;
}

// The subject key identifier a certificate carries (empty when none): the
// extension's value is an OCTET STRING of it.
Bytes SubjectKeyIdentifier(PCCERT_CONTEXT cert) {
  const CERT_INFO *info = cert->pCertInfo;
  for (DWORD i = 0; i < info->cExtension; ++i) {
    const CERT_EXTENSION &e = info->rgExtension[i];
    if (strcmp(e.pszObjId, "2.5.29.14") == 0 && e.Value.cbData >= 2 && e.Value.pbData[0] == 0x04 &&
        e.Value.pbData[1] == e.Value.cbData - 2) {
      return Bytes(e.Value.pbData + 2, e.Value.pbData + e.Value.cbData);
    }
  }
  return {};
}

// CERT_FIND_CERT_ID: issuer and serial number compared as CryptoAPI compares
// them (the name's bytes exactly, the serial as an integer held least
// significant byte first), and the other kinds of identifier.
TEST_F(SignedMessageTest, FindByCertIdAnswersAsWindows) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_NE(nullptr, store);
  PCCERT_CONTEXT signer = FindInRoot(store, IssuerSerialId(signer_.id()));
  ASSERT_NE(nullptr, signer);
  const Bytes signerDer(signer->pbCertEncoded, signer->pbCertEncoded + signer->cbCertEncoded);
  Bytes sha1 = test::Sha1(std::string(signerDer.begin(), signerDer.end()));
  Bytes keyId = SubjectKeyIdentifier(signer);
  ASSERT_EQ(20u, keyId.size());
  CertFreeCertificateContext(signer);

  Identity paddedSerial = signer_, noSignByte = signer_, longerIssuer = signer_, shorterIssuer = signer_,
           otherSerial = signer_;
  paddedSerial.serial.push_back(0x00);   // 00 after 00: insignificant
  ASSERT_EQ(0x00, noSignByte.serial.back());
  noSignByte.serial.pop_back();          // a1 ... now reads as negative
  longerIssuer.issuer.push_back(0x00);
  shorterIssuer.issuer.pop_back();
  otherSerial.serial[0] ^= 1;
  Identity keylessAsSigner{keyless_.issuer, signer_.serial};
  Bytes otherSha1 = sha1, shortSha1(sha1.begin(), sha1.end() - 1), otherKeyId = keyId;
  otherSha1[19] ^= 1;
  otherKeyId[0] ^= 1;
  Bytes none;

  const DWORD notFound = static_cast<DWORD>(CRYPT_E_NOT_FOUND);
#if defined(_WIN32)
  const DWORD byKeyIdentifier = 0, byOtherKeyIdentifier = notFound;
#else
  // Our stores do not look certificates up by key identifier; Windows finds
  // them by their subject key identifier extension.
  const DWORD byKeyIdentifier = static_cast<DWORD>(E_NOTIMPL), byOtherKeyIdentifier = byKeyIdentifier;
#endif
  struct Case {
    const char *what;
    CERT_ID id;
    DWORD expected;  // 0: finds the reference signer
  };
  const Case cases[] = {
      {"issuer and serial", IssuerSerialId(signer_.id()), 0},
      {"serial with an extra high zero byte", IssuerSerialId(paddedSerial.id()), 0},
      {"serial without its sign byte", IssuerSerialId(noSignByte.id()), notFound},
      {"another serial", IssuerSerialId(otherSerial.id()), notFound},
      {"issuer a byte longer", IssuerSerialId(longerIssuer.id()), notFound},
      {"issuer a byte shorter", IssuerSerialId(shorterIssuer.id()), notFound},
      {"another certificate's issuer", IssuerSerialId(keylessAsSigner.id()), notFound},
      {"SHA-1 hash", BlobId(CERT_ID_SHA1_HASH, sha1), 0},
      {"another SHA-1 hash", BlobId(CERT_ID_SHA1_HASH, otherSha1), notFound},
      {"a SHA-1 hash a byte short", BlobId(CERT_ID_SHA1_HASH, shortSha1), notFound},
      {"an empty SHA-1 hash", BlobId(CERT_ID_SHA1_HASH, none), notFound},
      {"key identifier", BlobId(CERT_ID_KEY_IDENTIFIER, keyId), byKeyIdentifier},
      {"another key identifier", BlobId(CERT_ID_KEY_IDENTIFIER, otherKeyId), byOtherKeyIdentifier},
      {"no kind of identifier", BlobId(0, sha1), notFound},
      {"an unknown kind of identifier", BlobId(4, sha1), notFound},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    PCCERT_CONTEXT found = FindInRoot(store, c.id);
    if (c.expected == 0) {
      EXPECT_NE(nullptr, found) << std::hex << GetLastError();
      if (found == nullptr) continue;
      EXPECT_EQ(ToHex(signerDer), ToHex(found->pbCertEncoded, found->cbCertEncoded));
      // The store holds the certificate once: the search goes on past it to
      // the end.
      EXPECT_EQ(nullptr, FindInRoot(store, c.id, found));
      EXPECT_EQ(notFound, GetLastError());
    } else {
      EXPECT_EQ(nullptr, found);
      EXPECT_EQ(c.expected, GetLastError());
      if (found != nullptr) CertFreeCertificateContext(found);
    }
  }
  // The long issuer (over 256 bytes) is found by its own.
  Identity longIssuer;
  test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(test::FixturePath("long_issuer.cert.pem"))),
                          &longIssuer.issuer, &longIssuer.serial);
  ASSERT_GT(longIssuer.issuer.size(), 256u);
  PCCERT_CONTEXT found = FindInRoot(store, IssuerSerialId(longIssuer.id()));
  EXPECT_NE(nullptr, found);
  if (found != nullptr) CertFreeCertificateContext(found);
  CertCloseStore(store, 0);
}

// The parameters of a signed message by the reference signer from "ROOT".
struct SignPara {
  explicit SignPara(PCCERT_CONTEXT signer) : cert(signer) {
    memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = cert;
    para.HashAlgorithm.pszObjId = oid;
    para.cMsgCert = 1;
    para.rgpMsgCert = &cert;
  }
  char oid[sizeof szOID_RSA_SHA1RSA] = szOID_RSA_SHA1RSA;
  PCCERT_CONTEXT cert;
  CRYPT_SIGN_MESSAGE_PARA para;
};

CRYPT_VERIFY_MESSAGE_PARA VerifyPara() {
  CRYPT_VERIFY_MESSAGE_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  return para;
}

// CryptSignMessage and CryptVerifyMessageSignature with an output one byte
// short: ERROR_MORE_DATA, the buffer untouched. CryptSignMessage writes back
// the size it needs; CryptVerifyMessageSignature, as on every failure, 0.
TEST_F(SignedMessageTest, PlatformShortBuffersAreMoreDataAndUntouched) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_NE(nullptr, store);
  PCCERT_CONTEXT cert = FindInRoot(store, IssuerSerialId(signer_.id()));
  ASSERT_NE(nullptr, cert);
  SignPara sign(cert);
  const BYTE content[] = "biometric record";
  const BYTE *blocks[1] = {content};
  DWORD sizes[1] = {sizeof content};
  DWORD messageSize = 0;
  ASSERT_TRUE(CryptSignMessage(&sign.para, FALSE, 1, blocks, sizes, nullptr, &messageSize));
  ExpectShortBufferRefused(
      "CryptSignMessage",
      [&](BYTE *out, DWORD *size) { return CryptSignMessage(&sign.para, FALSE, 1, blocks, sizes, out, size); },
      messageSize);
  Bytes message(messageSize);
  ASSERT_TRUE(CryptSignMessage(&sign.para, FALSE, 1, blocks, sizes, message.data(), &messageSize));
  CRYPT_VERIFY_MESSAGE_PARA verify = VerifyPara();
  ExpectShortBufferRefused(
      "CryptVerifyMessageSignature",
      [&](BYTE *out, DWORD *size) {
        return CryptVerifyMessageSignature(&verify, 0, message.data(), messageSize, out, size, nullptr);
      },
      sizeof content, 0);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
}

// In a row's size column: the size is left as the caller set it.
constexpr DWORD kSizeLeft = 0xFFFFFFFFu;

// What CryptSignMessage refuses, and the size it then writes back: 0 when the
// parameters' size or encoding type is wrong, nothing otherwise.
TEST_F(SignedMessageTest, PlatformSignRefusalsAndTheSizeWrittenBack) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_NE(nullptr, store);
  PCCERT_CONTEXT cert = FindInRoot(store, IssuerSerialId(signer_.id()));
  ASSERT_NE(nullptr, cert);
  PCCERT_CONTEXT keyless = FindInRoot(store, IssuerSerialId(keyless_.id()));
  ASSERT_NE(nullptr, keyless);
  const BYTE content[] = "biometric record";
  const BYTE *blocks[2] = {content, content};
  DWORD sizes[2] = {sizeof content, sizeof content};
  static char unknownOid[] = "1.2.3.4";
  struct Case {
    const char *what;
    void (*change)(SignPara &sign, PCCERT_CONTEXT keyless);
    DWORD blocks;
    DWORD expected;
    DWORD sizeAfter;
  };
  const DWORD invalid = static_cast<DWORD>(E_INVALIDARG);
  const Case cases[] = {
      {"cbSize of nothing", [](SignPara &s, PCCERT_CONTEXT) { s.para.cbSize = 0; }, 1, invalid, 0},
      {"cbSize one byte short", [](SignPara &s, PCCERT_CONTEXT) { s.para.cbSize -= 1; }, 1, invalid, 0},
      {"no PKCS #7 encoding", [](SignPara &s, PCCERT_CONTEXT) { s.para.dwMsgEncodingType = X509_ASN_ENCODING; }, 1,
       invalid, 0},
      {"a certificate without a private key",
       [](SignPara &s, PCCERT_CONTEXT k) {
         s.cert = k;
         s.para.pSigningCert = k;
       },
       1, static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY), kSizeLeft},
      {"an unknown hash algorithm", [](SignPara &s, PCCERT_CONTEXT) { s.para.HashAlgorithm.pszObjId = unknownOid; }, 1,
       static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO), kSizeLeft},
      {"no hash algorithm", [](SignPara &s, PCCERT_CONTEXT) { s.para.HashAlgorithm.pszObjId = nullptr; }, 1,
       static_cast<DWORD>(CRYPT_E_UNKNOWN_ALGO), kSizeLeft},
      {"two blocks of attached content", [](SignPara &, PCCERT_CONTEXT) {}, 2, static_cast<DWORD>(CRYPT_E_MSG_ERROR),
       kSizeLeft},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SignPara sign(cert);
    c.change(sign, keyless);
    for (bool sizeQuery : {true, false}) {
      SCOPED_TRACE(sizeQuery ? "size query" : "with a buffer");
      Bytes out(64, 0xee);
      const DWORD before = sizeQuery ? 1234 : 64;
      DWORD size = before;
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(
          CryptSignMessage(&sign.para, FALSE, c.blocks, blocks, sizes, sizeQuery ? nullptr : out.data(), &size));
      EXPECT_EQ(c.expected, GetLastError());
      EXPECT_EQ(c.sizeAfter == kSizeLeft ? before : c.sizeAfter, size);
      EXPECT_EQ(Bytes(64, 0xee), out);
    }
  }
  CertFreeCertificateContext(keyless);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
}

// What CryptVerifyMessageSignature refuses, with and without a buffer: the
// content size is 0 after every refusal, and nobody is handed out as the
// signer. Once the message decodes, its content is copied out before the
// signer is looked for.
TEST_F(SignedMessageTest, PlatformVerifyRefusalsZeroTheSize) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "ROOT");
  ASSERT_NE(nullptr, store);
  PCCERT_CONTEXT cert = FindInRoot(store, IssuerSerialId(signer_.id()));
  ASSERT_NE(nullptr, cert);
  const BYTE content[] = "biometric record";
  const BYTE *blocks[1] = {content};
  DWORD sizes[1] = {sizeof content};
  auto sign = [&](DWORD certificates) {
    SignPara s(cert);
    s.para.cMsgCert = certificates;
    DWORD size = 0;
    EXPECT_TRUE(CryptSignMessage(&s.para, FALSE, 1, blocks, sizes, nullptr, &size));
    Bytes message(size);
    EXPECT_TRUE(CryptSignMessage(&s.para, FALSE, 1, blocks, sizes, message.data(), &size));
    message.resize(size);
    return message;
  };
  const Bytes message = sign(1), withoutCertificate = sign(0);
  const DWORD messageSize = static_cast<DWORD>(message.size());
  Bytes badSignature = message;
  badSignature[messageSize - 5] ^= 0x40;
  const Bytes truncated(message.begin(), message.end() - 10);
  const Bytes garbage = {'n', 'o', 't', ' ', 'a', ' ', 'm', 'e', 's', 's', 'a', 'g', 'e'};
  const Bytes firstByte(message.begin(), message.begin() + 1), firstTwo(message.begin(), message.begin() + 2),
      firstFour(message.begin(), message.begin() + 4);
  const Bytes octetString = {0x04, 0x03, 1, 2, 3}, integers = {0x30, 0x03, 0x02, 0x01, 0x03},
              lengthOfFiveBytes = {0x30, 0x85, 1, 2, 3, 4, 5};
  struct Case {
    const char *what;
    const Bytes *blob;  // null: a null pointer
    DWORD length;       // kSizeLeft: the blob's
    DWORD signerIndex;
    DWORD expected;
    bool contentCopied;
  };
  const DWORD whole = kSizeLeft;
  const Case cases[] = {
      {"an empty blob", &message, 0, 0, static_cast<DWORD>(CRYPT_E_ASN1_EOD), false},
      {"a null blob", nullptr, 0, 0, static_cast<DWORD>(CRYPT_E_ASN1_EOD), false},
      {"bytes of no message", &garbage, whole, 0, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG), false},
      {"an OCTET STRING", &octetString, whole, 0, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG), false},
      {"a SEQUENCE of an INTEGER", &integers, whole, 0, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG), false},
      {"the first byte", &firstByte, whole, 0, static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT), false},
      {"the first two bytes", &firstTwo, whole, 0, static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT), false},
      {"the first four bytes", &firstFour, whole, 0, static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT), false},
      {"a length of five bytes", &lengthOfFiveBytes, whole, 0, static_cast<DWORD>(CRYPT_E_ASN1_LARGE), false},
      {"a truncated message", &truncated, whole, 0, static_cast<DWORD>(CRYPT_E_ASN1_EOD), false},
      {"a changed signature", &badSignature, whole, 0, static_cast<DWORD>(NTE_BAD_SIGNATURE), true},
      {"a second signer", &message, whole, 1, static_cast<DWORD>(CRYPT_E_UNEXPECTED_MSG_TYPE), true},
      {"no certificate carried", &withoutCertificate, whole, 0, static_cast<DWORD>(CRYPT_E_NOT_FOUND), true},
  };
  CRYPT_VERIFY_MESSAGE_PARA verify = VerifyPara();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    for (bool sizeQuery : {true, false}) {
      SCOPED_TRACE(sizeQuery ? "size query" : "with a buffer");
      Bytes out(64, 0xee);
      DWORD size = 64;
      PCCERT_CONTEXT signer = cert;
      const DWORD length = c.length == whole ? static_cast<DWORD>(c.blob->size()) : c.length;
      SetLastError(0xdeadbeef);
      EXPECT_FALSE(CryptVerifyMessageSignature(&verify, c.signerIndex, c.blob ? c.blob->data() : nullptr, length,
                                               sizeQuery ? nullptr : out.data(), &size, &signer));
      EXPECT_EQ(c.expected, GetLastError());
      EXPECT_EQ(0u, size);
      EXPECT_EQ(nullptr, signer);
      Bytes expected(64, 0xee);
      if (c.contentCopied && !sizeQuery) std::copy(content, content + sizeof content, expected.begin());
      EXPECT_EQ(ToHex(expected), ToHex(out));
    }
  }
  // Parameters of the wrong size.
  verify.cbSize = 0;
  DWORD size = 64;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CryptVerifyMessageSignature(&verify, 0, message.data(), messageSize, nullptr, &size, nullptr));
  EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
  EXPECT_EQ(0u, size);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
}

#if !defined(_WIN32)
// The key may also sit beside the certificate under another name, as
// name.key.pem next to name.cert.pem; it is found by its public key, and a
// key that belongs to no certificate of the store gives none of them a key.
TEST_F(SignedMessageTest, KeyFoundByItsPublicKey) {
  const std::string dir = root() + "/certs/ROOT";
  ASSERT_EQ(0, rename((dir + "/signer.pem").c_str(), (dir + "/signer.cert.pem").c_str()));
  ASSERT_EQ(0, rename((dir + "/signer.key").c_str(), (dir + "/signer.key.pem").c_str()));
  std::string other = test::ReadFile(test::FixturePath("keyless.key.pem"));
  std::ofstream(dir + "/stray.key") << other;  // the keyless certificate's key, under a name of its own
  ASSERT_EQ(0, remove((dir + "/keyless.pem").c_str()));
  CERT_ISSUER_SERIAL_NUMBER id = signer_.id();
  const uint8_t data[] = "template";
  CCrypt crypt;
  uint32_t size = 0;
  EXPECT_EQ(0u, crypt.SignMessage(&id, data, 8, nullptr, &size));
  // With only a key that is not its own, a certificate cannot sign.
  ASSERT_EQ(0, remove((dir + "/signer.key.pem").c_str()));
  EXPECT_NE(0u, crypt.SignMessage(&id, data, 8, nullptr, &size));
}

// OpenSSL's own CMS tool verifies what this layer signs, and this layer
// verifies what the tool signs, with and without signed attributes.
TEST_F(SignedMessageTest, OpensslCmsInterop) {
  const std::string dir = root();
  const std::string cert = test::TestDataPath("signer.cert.pem"), key = test::TestDataPath("signer.key.pem");
  const Bytes data = {'f', 'i', 'n', 'g', 'e', 'r', 0, 1, 2, 0xff};
  {
    std::ofstream out(dir + "/data.bin", std::ios::binary);
    out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  CERT_ISSUER_SERIAL_NUMBER id = signer_.id();
  CCrypt crypt;
  Bytes message = Signed(id, data);
  ASSERT_FALSE(message.empty());
  {
    std::ofstream out(dir + "/ours.p7", std::ios::binary);
    out.write(reinterpret_cast<const char *>(message.data()), static_cast<std::streamsize>(message.size()));
  }
  std::string verify = "openssl cms -verify -inform DER -noverify -in " + dir + "/ours.p7 -out " + dir +
                       "/content.bin 2>/dev/null";
  ASSERT_EQ(0, system(verify.c_str()));
  std::string content = test::ReadFile(dir + "/content.bin");
  EXPECT_EQ(std::string(data.begin(), data.end()), content);

  for (const char *attributes : {"", "-noattr"}) {
    std::string sign = std::string("openssl cms -sign -binary -nodetach -md sha1 ") + attributes +
                       " -outform DER -signer " + cert + " -inkey " + key + " -in " + dir + "/data.bin -out " + dir +
                       "/theirs.p7 2>/dev/null";
    ASSERT_EQ(0, system(sign.c_str())) << attributes;
    std::string theirs = test::ReadFile(dir + "/theirs.p7");
    uint32_t contentSize = 64;
    Bytes out(64);
    ASSERT_EQ(0u, crypt.VerifyMessage(&id, reinterpret_cast<const uint8_t *>(theirs.data()),
                                      static_cast<uint32_t>(theirs.size()), out.data(), &contentSize))
        << attributes;
    EXPECT_EQ(data, Bytes(out.begin(), out.begin() + contentSize));
    // A changed byte anywhere in the signed attributes or signature fails.
    theirs[theirs.size() - 3] ^= 1;
    EXPECT_NE(0u, crypt.VerifyMessage(&id, reinterpret_cast<const uint8_t *>(theirs.data()),
                                      static_cast<uint32_t>(theirs.size()), nullptr, &contentSize));
  }
}
#endif

}  // namespace
}  // namespace ambercrypt
