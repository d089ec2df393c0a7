// reg_ctrl.h: CRegCtrl, the library's only access to the registry. One instance
// wraps one open key below HKEY_LOCAL_MACHINE and reads or writes its values as
// plain DWORD, binary or string, or encrypted (3DES, key derived from the
// caller's key material, IV material CipherIvConstant) 32-bit integer, 64-bit
// integer or binary. Value operations answer Windows error codes (87 for a
// missing argument, else the registry's or CCrypt's); Open answers whether a
// key is open. One instance, one thread.
#ifndef AMBERCRYPT_STORE_REG_CTRL_H_
#define AMBERCRYPT_STORE_REG_CTRL_H_

#include <cstdint>

#include "platform/win32_api.h"

namespace ambercrypt {

class CRegCtrl {
 public:
  CRegCtrl();
  virtual ~CRegCtrl();
  CRegCtrl(const CRegCtrl &) = delete;
  CRegCtrl &operator=(const CRegCtrl &) = delete;

  // Opens path with access; when that fails and create is set, creates it
  // (then held with KEY_ALL_ACCESS). True when a key is open afterwards.
  bool Open(const char *path, bool create, REGSAM access);
  // Deletes subKey relative to HKEY_LOCAL_MACHINE; refused when it has subkeys.
  uint32_t DeleteKey(const char *subKey);

  uint32_t QueryDword(const char *name, DWORD *value);
  uint32_t SetDword(const char *name, DWORD value);
  // *length: the most bytes wanted on entry (output holds them), the stored
  // length on return. A longer value fails with ERROR_MORE_DATA, copying nothing.
  uint32_t QueryBinary(const char *name, uint8_t *output, uint32_t *length);
  uint32_t SetBinary(const char *name, const uint8_t *data, uint32_t length);
  // output holds at least 255 bytes.
  uint32_t QueryString(const char *name, char *output);

  uint32_t SetEncryptedInt(const char *name, int32_t value, const uint8_t *material, uint32_t materialLength);
  uint32_t SetEncryptedInt64(const char *name, int64_t value, const uint8_t *material, uint32_t materialLength);
  uint32_t QueryEncryptedInt(const char *name, int32_t *value, const uint8_t *material, uint32_t materialLength);
  uint32_t QueryEncryptedInt64(const char *name, int64_t *value, const uint8_t *material,
                               uint32_t materialLength);
  uint32_t SetEncryptedBinary(const char *name, const uint8_t *data, uint32_t length, const uint8_t *material,
                              uint32_t materialLength);
  // *length: the plaintext size expected on entry (output holds it), the
  // plaintext length on return. A plaintext longer than asked fails with
  // ERROR_MORE_DATA and copies nothing.
  uint32_t QueryEncryptedBinary(const char *name, uint8_t *output, uint32_t *length, const uint8_t *material,
                                uint32_t materialLength);

 private:
  void Close();
  uint32_t SetEncryptedText(const char *name, const char *text, const uint8_t *material, uint32_t materialLength);
  // Writes a number as its encrypted decimal text (the same text for either width).
  uint32_t SetEncryptedNumber(const char *name, int64_t value, const uint8_t *material, uint32_t materialLength);
  // Reads and decrypts a numeric value into a NUL-terminated text.
  uint32_t QueryEncryptedText(const char *name, char *text, const uint8_t *material, uint32_t materialLength);
  // Reads an encrypted number, parsed from its decimal text.
  template <typename Number, typename Parse>
  uint32_t QueryEncryptedNumber(const char *name, Number *value, const uint8_t *material, uint32_t materialLength,
                                Parse parse);

  HKEY rootKey;
  HKEY openKey;
  bool isOpen;
};

// HashNameToBase64 writes the Base64 text of SHA-1(name) with its line feed and
// NUL (30 bytes) to output. False when hashing fails (output untouched).
bool HashNameToBase64(const char *name, char *output);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_REG_CTRL_H_
