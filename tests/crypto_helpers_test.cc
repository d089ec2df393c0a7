// Base64 line breaking, key-material mixing, the wiped buffer and the secret
// pages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <new>
#include <string>
#include <vector>

#include "crypto/base64.h"
#include "crypto/mix_key_material.h"
#include "crypto/secret_arena.h"
#include "crypto/secure_buffer.h"
#include "support/test_support.h"

namespace {

// The array allocator of this test program, which lets a test see the bytes of
// a block at the moment it is given back.
const void *g_watched = nullptr;
size_t g_watchedSize = 0;
bool g_watchedWasZero = false;
bool g_watchedFreed = false;

}  // namespace

void *operator new[](size_t n) {
  void *p = std::malloc(n ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void operator delete[](void *p) noexcept {
  if (p != nullptr && p == g_watched) {
    const unsigned char *bytes = static_cast<const unsigned char *>(p);
    g_watchedWasZero = true;
    for (size_t i = 0; i < g_watchedSize; ++i) g_watchedWasZero = g_watchedWasZero && bytes[i] == 0;
    g_watchedFreed = true;
    g_watched = nullptr;
  }
  std::free(p);
}

void operator delete[](void *p, size_t) noexcept { operator delete[](p); }

namespace ambercrypt {
namespace {

std::string Encode(const std::string &input, uint64_t *reported) {
  std::string out(4 * (input.size() / 3 + 1) + input.size() / 54 + 2, '?');
  EXPECT_EQ(1, Base64Encode(reinterpret_cast<const uint8_t *>(input.data()), input.size(), &out[0], reported));
  return std::string(out.c_str());
}

TEST(Base64EncodeTest, BreaksLinesAndReportsLength) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"", ""},
      {"a", "YQ==\n"},
      {"ab", "YWI=\n"},
      {"abc", "YWJj\n"},
      {"abcd", "YWJjZA==\n"},
  };
  for (const Case &c : cases) {
    uint64_t reported = 99;
    EXPECT_EQ(c.expected, Encode(c.input, &reported)) << c.input;
    EXPECT_EQ(c.expected.size(), reported) << c.input;
  }
}

TEST(Base64EncodeTest, SeventyTwoCharacterLines) {
  uint64_t reported = 0;
  std::string full = Encode(std::string(54, '\xff'), &reported);
  EXPECT_EQ(std::string(72, '/') + "\n", full);
  EXPECT_EQ(73u, reported);

  std::string more = Encode(std::string(55, '\xff'), &reported);
  EXPECT_EQ(std::string(72, '/') + "\n/w==\n", more);
  EXPECT_EQ(78u, reported);

  // 108 bytes: two full lines, one line feed after each and none added.
  std::string two = Encode(std::string(108, '\0'), &reported);
  EXPECT_EQ(std::string(72, 'A') + "\n" + std::string(72, 'A') + "\n", two);
  EXPECT_EQ(146u, reported);
}

TEST(Base64EncodeTest, DigestGivesTwentyNineCharacters) {
  test::Bytes digest = test::Sha1("Scanner");
  char out[40];
  uint64_t reported = 0;
  ASSERT_EQ(1, Base64Encode(digest.data(), digest.size(), out, &reported));
  EXPECT_EQ(29u, reported);
  EXPECT_EQ('=', out[27]);
  EXPECT_EQ('\n', out[28]);
  EXPECT_EQ('\0', out[29]);
}

TEST(Base64EncodeTest, NullDestinationWritesNothing) {
  uint64_t reported = 7;
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(0, Base64Encode(data, 3, nullptr, &reported));
  EXPECT_EQ(7u, reported);
}

TEST(MixKeyMaterialTest, HandWorkedVectors) {
  struct Case {
    test::Bytes input;
    test::Bytes expected;
  };
  const Case cases[] = {
      {{0x5a}, {0x5a ^ 0xa4}},
      {{0x10, 0x20}, {0x10, 0x94}},
      {{0x01, 0x02, 0x03}, {0x00, 0xa5, 0xa7}},
      {{0x01, 0x02, 0x03, 0x04}, {0x01, 0x02, 0xa6, 0xa2}},
  };
  for (const Case &c : cases) {
    test::Bytes buffer = c.input;
    int32_t n = static_cast<int32_t>(buffer.size());
    MixKeyMaterial(buffer.data(), static_cast<uint32_t>(buffer.size()), &n);
    EXPECT_EQ(test::ToHex(c.expected), test::ToHex(buffer)) << test::ToHex(c.input);
  }
}

TEST(MixKeyMaterialTest, LeavesBufferAloneOutOfRange) {
  test::Bytes buffer = {1, 2, 3, 4};
  int32_t tooLong = 5;
  MixKeyMaterial(buffer.data(), 4, &tooLong);
  int32_t zero = 0;
  MixKeyMaterial(buffer.data(), 4, &zero);
  int32_t negative = -1;
  MixKeyMaterial(buffer.data(), 4, &negative);
  EXPECT_EQ("01020304", test::ToHex(buffer));
}

TEST(MixKeyMaterialTest, OnlyTheGivenLengthIsMixed) {
  test::Bytes a(70, 'k'), b(70, 'k');
  int32_t n = 67;
  MixKeyMaterial(a.data(), 70, &n);
  MixKeyMaterial(b.data(), 70, &n);
  EXPECT_EQ(a, b);  // deterministic
  EXPECT_EQ(test::Bytes(3, 'k'), test::Bytes(a.begin() + 67, a.end()));
  EXPECT_NE(test::Bytes(67, 'k'), test::Bytes(a.begin(), a.begin() + 67));
}

TEST(CSecureBufferTest, ConstructionAndCopies) {
  CSecureBuffer empty(0u);
  EXPECT_EQ(nullptr, empty.data());
  EXPECT_EQ(0u, empty.size());

  CSecureBuffer zeros(nullptr, 16);
  ASSERT_EQ(16u, zeros.size());
  EXPECT_EQ(test::Bytes(16, 0), test::Bytes(zeros.data(), zeros.data() + 16));

  const char text[] = "secret";
  CSecureBuffer original(text, 6);
  CSecureBuffer copy(original);
  EXPECT_NE(original.data(), copy.data());
  EXPECT_EQ(0, memcmp(copy.data(), "secret", 6));
  copy.data()[0] = 'S';
  EXPECT_EQ('s', original.data()[0]);

  // A move hands the bytes over: the secret is never copied.
  const uint8_t *bytes = original.data();
  CSecureBuffer moved(std::move(original));
  EXPECT_EQ(bytes, moved.data());
  EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move): its state is defined
  CSecureBuffer assigned;
  assigned = std::move(moved);
  EXPECT_EQ(bytes, assigned.data());
  EXPECT_EQ(0u, moved.size());  // NOLINT(bugprone-use-after-move)
}

TEST(CSecureBufferTest, AssignmentWipesWhatItReplaces) {
  CSecureBuffer target("old secret", 10);
  for (bool byMove : {false, true}) {
    SCOPED_TRACE(byMove ? "move" : "copy");
    g_watched = target.data();
    g_watchedSize = target.size();
    g_watchedFreed = false;
    CSecureBuffer replacement("new secret", 10);
    if (byMove) {
      target = std::move(replacement);
    } else {
      target = replacement;
    }
    EXPECT_TRUE(g_watchedFreed);
    EXPECT_TRUE(g_watchedWasZero);
    EXPECT_EQ(0, memcmp(target.data(), "new secret", 10));
  }
}

TEST(CSecureBufferTest, ZeroesItsBytesBeforeFreeingThem) {
  auto *buffer = new CSecureBuffer("key material", 12);
  g_watched = buffer->data();
  g_watchedSize = buffer->size();
  g_watchedFreed = false;
  delete buffer;
  EXPECT_TRUE(g_watchedFreed);
  EXPECT_TRUE(g_watchedWasZero);
}

// Whether the secret pages hold these bytes anywhere, read as plain bytes
// (AddressSanitizer is told their free granules are out of bounds).
#if defined(__GNUC__)
__attribute__((no_sanitize_address))
#endif
bool SecretPagesHold(const void *needle, size_t n) {
  const SecretPages pages = CurrentSecretPages();
  const auto *wanted = static_cast<const uint8_t *>(needle);
  for (size_t at = 0; pages.base != nullptr && at + n <= pages.size; ++at) {
    size_t i = 0;
    while (i < n && pages.base[at + i] == wanted[i]) ++i;
    if (i == n) return true;
  }
  return false;
}

bool InSecretPages(const CSecureBuffer &b) {
  const SecretPages pages = CurrentSecretPages();
  return pages.base != nullptr && b.data() >= pages.base && b.data() + b.size() <= pages.base + pages.size;
}

// A kept buffer lives in the secret pages, which the allocator (and so the
// zeroing check) never sees: its bytes must be gone from them when it is
// given back, however it goes (cleared, replaced, moved from and destroyed).
// Copies are ordinary heap buffers; a move keeps the bytes where they are.
TEST(SecretPagesTest, KeptBuffersLiveThereAndLeaveNothingBehind) {
  const char secret[] = "Kept-Secret-Of-The-Pages";
  const uint32_t n = sizeof secret - 1;
  {
    CSecureBuffer kept = CSecureBuffer::Kept(secret, n);
    ASSERT_TRUE(InSecretPages(kept));
    EXPECT_TRUE(SecretPagesHold(secret, n));
    CSecureBuffer copy(kept);
    EXPECT_FALSE(InSecretPages(copy));
    const uint8_t *bytes = kept.data();
    CSecureBuffer moved(std::move(kept));
    EXPECT_EQ(bytes, moved.data());
    CSecureBuffer replaced = CSecureBuffer::Kept(secret, n);
    replaced = CSecureBuffer("other", 5);
    EXPECT_FALSE(InSecretPages(replaced));
    moved.Clear();
    EXPECT_FALSE(SecretPagesHold(secret, n));
    CSecureBuffer last = CSecureBuffer::Kept(secret, n);
  }
  EXPECT_FALSE(SecretPagesHold(secret, n));
  uint8_t elsewhere[16] = {1};
  EXPECT_FALSE(ReleaseSecret(elsewhere, sizeof elsewhere));  // nothing of the pages: left alone
  EXPECT_EQ(1, elsewhere[0]);
  EXPECT_EQ(nullptr, AllocateSecret(0));
}

// Full pages, or a secret too large for them, leave the buffer on the heap;
// a block given back makes room again; pages with no block in use go at
// detach and come back on the next use.
TEST(SecretPagesTest, FullPagesFallBackToTheHeap) {
  static const uint8_t kBlock[64] = "a 64-byte block";
  std::vector<CSecureBuffer> kept;
  for (int i = 0; i < 4096; ++i) {
    kept.push_back(CSecureBuffer::Kept(kBlock, sizeof kBlock));
    if (!InSecretPages(kept.back())) break;
  }
  ASSERT_FALSE(InSecretPages(kept.back())) << "no end to the secret pages";
  EXPECT_GE(kept.size(), 200u);
  EXPECT_EQ(0, memcmp(kept.back().data(), kBlock, sizeof kBlock));
  kept[kept.size() / 2].Clear();
  EXPECT_TRUE(InSecretPages(CSecureBuffer::Kept("again", 5)));
  EXPECT_FALSE(InSecretPages(CSecureBuffer::Kept(nullptr, 4096)));
  kept.clear();
  EXPECT_EQ(0u, CurrentSecretPages().blocksInUse);
  ReleaseSecretPagesIfUnused();
  EXPECT_EQ(nullptr, CurrentSecretPages().base);
  EXPECT_TRUE(InSecretPages(CSecureBuffer::Kept("mapped anew", 11)));
}

TEST(ConstantTimeEqualTest, ComparesEveryByte) {
  const uint8_t a[] = {1, 2, 3, 4};
  const uint8_t b[] = {1, 2, 3, 5};
  EXPECT_TRUE(ConstantTimeEqual(a, a, 4));
  EXPECT_FALSE(ConstantTimeEqual(a, b, 4));
  EXPECT_TRUE(ConstantTimeEqual(a, b, 3));
}

}  // namespace
}  // namespace ambercrypt
