// mix_key_material.h: the mixer that turns the installation number's text into
// key material. A pure function over a caller buffer, safe on any thread.
#ifndef AMBERCRYPT_CRYPTO_MIX_KEY_MATERIAL_H_
#define AMBERCRYPT_CRYPTO_MIX_KEY_MATERIAL_H_

#include <cstdint>

namespace ambercrypt {

// MixKeyMaterial mixes the first *length bytes of buffer in place: a chained
// XOR with 0xA4, a parity mirror swap, a swap of halves, the mirror swap again.
// Does nothing when *length is 0 (or negative) or greater than capacity.
void MixKeyMaterial(uint8_t *buffer, uint32_t capacity, const int32_t *length);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_MIX_KEY_MATERIAL_H_
