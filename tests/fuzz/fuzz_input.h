// fuzz_input.h: turns a fuzzer's input bytes into arguments. Every read takes
// bytes from the front; a read past the end gives zeros (or an empty result),
// so any input decodes to one call. The same decoding runs under libFuzzer
// and in the corpus replay of the gcc builds, so a corpus file means the same
// call in both.
#ifndef AMBERCRYPT_TESTS_FUZZ_FUZZ_INPUT_H_
#define AMBERCRYPT_TESTS_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ambercrypt::fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - pos_; }
  bool empty() const { return pos_ >= size_; }

  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Bool() { return (Byte() & 1) != 0; }

  // A little-endian integer of sizeof(T) bytes.
  template <typename T>
  T Int() {
    uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<uint64_t>(Byte()) << (8 * i);
    T out;
    memcpy(&out, &v, sizeof out);
    return out;
  }

  // A number in [0, bound) from one byte when bound fits one, else two.
  uint32_t Below(uint32_t bound) {
    if (bound <= 1) return 0;
    uint32_t raw = bound <= 256 ? Byte() : Int<uint16_t>();
    return raw % bound;
  }

  // Up to n bytes (fewer when the input runs out).
  std::vector<uint8_t> Bytes(size_t n) {
    size_t take = n < remaining() ? n : remaining();
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return out;
  }

  // A length-prefixed byte string of at most maxLength bytes (two bytes of
  // length, then the bytes).
  std::vector<uint8_t> Blob(size_t maxLength) {
    size_t n = Int<uint16_t>();
    if (n > maxLength) n %= maxLength + 1;
    return Bytes(n);
  }

  // A text: its bytes stop at the first NUL, so the text is what C sees.
  std::string Text(size_t maxLength) {
    std::vector<uint8_t> b = Blob(maxLength);
    std::string s(b.begin(), b.end());
    size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
  }

  std::vector<uint8_t> Rest() { return Bytes(remaining()); }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace ambercrypt::fuzz

#endif  // AMBERCRYPT_TESTS_FUZZ_FUZZ_INPUT_H_
