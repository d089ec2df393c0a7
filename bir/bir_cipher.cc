// bir_cipher.cc: KoBioFPI_EncryptBIR and KoBioFPI_DecryptBIR. The biometric
// data is enciphered with the application's secret key block (as key material)
// and cipher, IV material CipherIvConstant; the rest of the record is copied.
// Plaintext and ciphertext pass through wiped buffers; nothing is ever written
// past the caller's data buffer, and a failure leaves it untouched.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "bir/bir.h"
#include "core/bir_ctrl.h"
#include "store/caches.h"
#include "store/constants.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

// The checks, the cipher's algorithm and the secret key that EncryptBIR and
// DecryptBIR share, under the cipher's lock.
uint32_t PrepareBirCipher(const FpiContext &fpi, CCrypt &crypt, const BioAPI_BIR *input, BioAPI_BIR *output,
                          CSecureBuffer &secretKey) {
  if (input == nullptr || output == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  const char *appKey = fpi.appKey();
  if (appKey == nullptr) return AMBER_E_NO_SECRET_KEY;
  SettingCaches &caches = Caches();
  if (caches.SecretKeyStateCache.Find(appKey) == nullptr) return AMBER_E_NO_SECRET_KEY;
  SettingStore::Key app = fpi.store().Open(SettingKey::kApplication, KEY_READ);
  if (!app.ok()) return AMBER_E_SETTING_UNAVAILABLE;

  std::lock_guard<std::mutex> keyLock(caches.SecretKeyMutex);
  if (caches.CipherAlgorithmCache.Find(appKey) == nullptr) {
    int32_t algorithm = 0;
    if (app.ReadInt(settings::kCipherAlgorithm, &algorithm) != ERROR_SUCCESS) return AMBER_E_NO_SECRET_KEY;
    caches.CipherAlgorithmCache.Insert(appKey, static_cast<uint32_t>(algorithm));
    crypt.SetAlgorithm(static_cast<ALG_ID>(algorithm));
  }

  secretKey = CSecureBuffer(kSecretKeyBlockSize);
  if (const auto cached = caches.SecretKeyCache.Find(appKey)) {
    memcpy(secretKey.data(), cached->data(), std::min(cached->size(), kSecretKeyBlockSize));
  } else {
    uint32_t length = kSecretKeyBlockSize;
    if (app.ReadBytes(settings::kSecretKeyBlock, secretKey.data(), &length) != ERROR_SUCCESS) {
      return AMBER_E_NO_SECRET_KEY;
    }
    caches.SecretKeyCache.Insert(appKey, secretKey);
  }
  return AMBER_OK;
}

uint32_t Encrypt(const FpiContext &fpi, CCrypt &crypt, const BioAPI_BIR *input, BioAPI_BIR *output) {
  CSecureBuffer secretKey;
  uint32_t result = PrepareBirCipher(fpi, crypt, input, output, secretKey);
  if (result != AMBER_OK) return result;

  const uint32_t plainLength = input->BiometricData.Length;
  uint32_t cipherSize = plainLength;
  auto askCipherSize = [&] {
    return crypt.Encrypt(nullptr, &cipherSize, 0, secretKey.data(), kSecretKeyBlockSize, CipherIv(), kCipherIvLength) ==
           ERROR_SUCCESS;
  };
  if (output->BiometricData.Data == nullptr) {
    // A size query changes nothing else of the output.
    if (!askCipherSize()) return AMBER_E_ENCRYPT_FAILED;
    output->BiometricData.Length = cipherSize;
    return AMBER_OK;
  }
  // The header and security block go first, so that every later failure
  // leaves them copied; a block that does not fit fails before the size check.
  CBIRCtrl bir;
  if (!bir.CopyHeaderAndSecurityBlock(output, input)) return AMBER_E_SETTING_UNAVAILABLE;
  const uint32_t capacity = output->BiometricData.Length;
  const uint8_t *plain = input->BiometricData.Data;
  // CCrypt never answers a size the data does not fit; a work buffer shorter
  // than the data is refused all the same, whatever the platform said.
  if (!askCipherSize() || cipherSize < plainLength || capacity < cipherSize || plain == nullptr) {
    return AMBER_E_ENCRYPT_FAILED;
  }

  CSecureBuffer work(cipherSize);
  memcpy(work.data(), plain, plainLength);
  uint32_t length = plainLength;
  if (crypt.Encrypt(work.data(), &length, work.size(), secretKey.data(), kSecretKeyBlockSize, CipherIv(),
                    kCipherIvLength) != ERROR_SUCCESS) {
    return AMBER_E_ENCRYPT_FAILED;
  }
  memcpy(output->BiometricData.Data, work.data(), length);
  output->BiometricData.Length = length;
  bir.SetEncrypted(output);
  return AMBER_OK;
}

uint32_t Decrypt(const FpiContext &fpi, CCrypt &crypt, const BioAPI_BIR *input, BioAPI_BIR *output, uint32_t capacity) {
  CSecureBuffer secretKey;
  uint32_t result = PrepareBirCipher(fpi, crypt, input, output, secretKey);
  if (result != AMBER_OK) return result;

  const uint8_t *cipher = input->BiometricData.Data;
  uint32_t length = input->BiometricData.Length;
  CBIRCtrl bir;
  bir.CopyHeaderAndSecurityBlock(output, input);  // the block only when it fits
  if (cipher == nullptr || length == 0) return AMBER_E_DECRYPT_FAILED;
  // Ciphertext is whole blocks: any other length (up to 0xFFFFFFFF) fails
  // before it is copied.
  const uint32_t block = crypt.CipherBlockBytes();
  if (block != 0 && length % block != 0) return AMBER_E_DECRYPT_FAILED;

  CSecureBuffer work(cipher, length);
  if (crypt.Decrypt(work.data(), &length, secretKey.data(), kSecretKeyBlockSize, CipherIv(), kCipherIvLength) !=
      ERROR_SUCCESS) {
    return AMBER_E_DECRYPT_FAILED;
  }
  if (output->BiometricData.Data == nullptr || capacity < length) return AMBER_E_DECRYPT_FAILED;
  memcpy(output->BiometricData.Data, work.data(), length);
  output->BiometricData.Length = length;
  bir.ClearEncrypted(output);
  return AMBER_OK;
}

}  // namespace

uint32_t EncryptBIR(FpiContext &fpi, const BioAPI_BIR *input, BioAPI_BIR *output) {
  return fpi.WithCipher([&](CCrypt &crypt) { return Encrypt(fpi, crypt, input, output); });
}

uint32_t DecryptBIR(FpiContext &fpi, const BioAPI_BIR *input, BioAPI_BIR *output) {
  // The output's data length on entry is the capacity of its data buffer.
  uint32_t capacity = output != nullptr ? output->BiometricData.Length : 0;
  return fpi.WithCipher([&](CCrypt &crypt) { return Decrypt(fpi, crypt, input, output, capacity); });
}

}  // namespace ambercrypt
