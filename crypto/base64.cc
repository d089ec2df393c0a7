#include "crypto/base64.h"

#include <utility>

namespace ambercrypt {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kMixByte = 0xA4;
constexpr int kLineLength = 72;

void MirrorSwapByParity(uint8_t *b, int32_t n) {
  for (int32_t i = 0; i < n / 2; ++i) {
    int32_t k = n - 1 - i;
    if (((b[i] ^ b[k]) & 1) != 0) std::swap(b[i], b[k]);
  }
}

void SwapHalves(uint8_t *b, int32_t n) {
  int32_t h = n / 2;
  int32_t shift = h + n % 2;  // an odd middle byte stays where it is
  for (int32_t i = 0; i < h; ++i) std::swap(b[i], b[i + shift]);
}

}  // namespace

int Base64Encode(const uint8_t *source, uint64_t length, char *destination, uint64_t *outputLength) {
  if (destination == nullptr) return 0;
  char *out = destination;
  int line = 0;
  uint64_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t v = (uint32_t{source[i]} << 16) | (uint32_t{source[i + 1]} << 8) | source[i + 2];
    *out++ = kAlphabet[(v >> 18) & 63];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = kAlphabet[(v >> 6) & 63];
    *out++ = kAlphabet[v & 63];
    line += 4;
    if (line >= kLineLength) {
      *out++ = '\n';
      line = 0;
    }
  }
  uint64_t rest = length - i;
  if (rest != 0) {
    uint32_t v = uint32_t{source[i]} << 16;
    if (rest == 2) v |= uint32_t{source[i + 1]} << 8;
    *out++ = kAlphabet[(v >> 18) & 63];
    *out++ = kAlphabet[(v >> 12) & 63];
    *out++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *out++ = '=';
    line += 4;
  }
  if (line != 0) *out++ = '\n';
  *out = '\0';
  if (outputLength != nullptr) *outputLength = static_cast<uint64_t>(out - destination);
  return 1;
}

void MixKeyMaterial(uint8_t *buffer, uint32_t capacity, const int32_t *length) {
  if (buffer == nullptr || length == nullptr) return;
  int32_t n = *length;
  if (n <= 0 || static_cast<uint32_t>(n) > capacity) return;
  if (n == 1) {
    buffer[0] ^= kMixByte;
    return;
  }
  int32_t j = n / 2;
  for (int32_t i = 0; i < n; ++i) {
    buffer[i] = static_cast<uint8_t>(buffer[i] ^ buffer[j] ^ kMixByte);
    if (++j == n) j = 0;
  }
  MirrorSwapByParity(buffer, n);
  SwapHalves(buffer, n);
  MirrorSwapByParity(buffer, n);
}

}  // namespace ambercrypt
