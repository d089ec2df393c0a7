// export_frame.h: the frame every export runs its method in. A missing service
// object gives 257; 0 stays 0; any other code comes back with AMBER_ERROR_FLAG
// set. No exception crosses an export: one that escapes a method is answered
// as a failed operation (2055).
#ifndef AMBERCRYPT_FRAME_EXPORT_FRAME_H_
#define AMBERCRYPT_FRAME_EXPORT_FRAME_H_

#include <cstdint>
#include <mutex>

#include "ambercrypt/ambercrypt.h"

namespace ambercrypt {

inline uint32_t FlagResult(uint32_t code) { return code == AMBER_OK ? AMBER_OK : code | AMBER_ERROR_FLAG; }

template <typename Object, typename Call>
uint32_t Frame(Object *object, Call call) {
  if (object == nullptr) return AMBER_NOT_INITIALISED;
  uint32_t code;
  try {
    code = call(*object);
  } catch (...) {
    code = AMBER_E_SETTING_UNAVAILABLE;
  }
  return FlagResult(code);
}

// The KoBioSPI_ frame: one call of the family at a time in the process. The
// object's current application, which every call naming one changes and the
// calls naming none work on, is the state of the call in hand. (The KoBioFPI_
// frame takes no lock: CheckMode costs a look-up.)
template <typename Object, typename Call>
uint32_t SerialFrame(Object *object, Call call) {
  if (object == nullptr) return AMBER_NOT_INITIALISED;
  std::lock_guard<std::mutex> lock(object->callMutex);
  return Frame(object, call);
}

// An 8-bit flag argument is true only when its byte is 1.
inline bool FlagFromByte(uint8_t byte) { return byte == 1; }

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_EXPORT_FRAME_H_
