#include "crypto/base64.h"

namespace ambercrypt {
namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineLength = 72;

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

}  // namespace ambercrypt
