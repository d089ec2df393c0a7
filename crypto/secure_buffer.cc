#include "crypto/secure_buffer.h"

#include <cstring>

#include "crypto/secret_arena.h"
#include "platform/win32_api.h"

namespace ambercrypt {

void WipeMemory(void *p, size_t n) {
  if (p != nullptr && n != 0) SecureZeroMemory(p, n);
}

CSecureBuffer::CSecureBuffer(uint32_t n) { Allocate(n); }

CSecureBuffer::CSecureBuffer(const void *source, uint32_t n) {
  Allocate(n);
  if (source != nullptr && n != 0) memcpy(begin_, source, n);
}

CSecureBuffer CSecureBuffer::Kept(const void *source, uint32_t n) {
  auto *block = n != 0 ? static_cast<uint8_t *>(AllocateSecret(n)) : nullptr;
  if (block == nullptr) return CSecureBuffer(source, n);
  CSecureBuffer kept;
  kept.begin_ = block;
  kept.end_ = block + n;
  kept.kept_ = true;
  if (source != nullptr) memcpy(block, source, n);
  return kept;
}

CSecureBuffer::CSecureBuffer(const CSecureBuffer &other) : CSecureBuffer(other.begin_, other.size()) {}

CSecureBuffer &CSecureBuffer::operator=(const CSecureBuffer &other) {
  if (this != &other) *this = CSecureBuffer(other);
  return *this;
}

CSecureBuffer::CSecureBuffer(CSecureBuffer &&other) noexcept
    : begin_(other.begin_), end_(other.end_), kept_(other.kept_) {
  other.begin_ = other.end_ = nullptr;
  other.kept_ = false;
}

CSecureBuffer &CSecureBuffer::operator=(CSecureBuffer &&other) noexcept {
  if (this != &other) {
    Clear();
    begin_ = other.begin_;
    end_ = other.end_;
    kept_ = other.kept_;
    other.begin_ = other.end_ = nullptr;
    other.kept_ = false;
  }
  return *this;
}

CSecureBuffer::~CSecureBuffer() { Clear(); }

void CSecureBuffer::Allocate(uint32_t n) {
  if (n == 0) return;
  begin_ = new uint8_t[n];  // throws std::bad_alloc, as the containers do
  memset(begin_, 0, n);
  end_ = begin_ + n;
}

void CSecureBuffer::Clear() {
  if (begin_ != nullptr) {
    const auto n = static_cast<size_t>(end_ - begin_);
    // The secret pages wipe what they take back; the heap's is wiped here.
    if (kept_) {
      ReleaseSecret(begin_, n);
    } else {
      WipeMemory(begin_, n);
      delete[] begin_;
    }
  }
  begin_ = end_ = nullptr;
  kept_ = false;
}

}  // namespace ambercrypt
