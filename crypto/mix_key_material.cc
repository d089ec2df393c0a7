#include "crypto/mix_key_material.h"

#include <utility>

namespace ambercrypt {
namespace {

constexpr uint8_t kMixByte = 0xA4;

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
