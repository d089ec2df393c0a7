#include "bir/bir_ctrl.h"

#include <cstring>

#include "platform/win32_api.h"

namespace ambercrypt {

int CBIRCtrl::CopyHeaderAndSecurityBlock(BioAPI_BIR *destination, const BioAPI_BIR *source) {
  if (destination == nullptr || source == nullptr) return 0;
  memmove(&destination->Header, &source->Header, sizeof destination->Header);
  const BioAPI_DATA &from = source->SecurityBlock;
  BioAPI_DATA &to = destination->SecurityBlock;
  if (from.Length == 0 || from.Data == nullptr) return 1;
  if (IsBadReadPtr(from.Data, from.Length)) return 0;
  if (IsBadWritePtr(to.Data, from.Length)) return 0;
  if (to.Length < from.Length) return 0;
  to.Length = from.Length;
  memmove(to.Data, from.Data, from.Length);
  return 1;
}

int CBIRCtrl::CopyHeaderAndBiometricData(BioAPI_BIR *destination, const BioAPI_BIR *source) {
  if (destination == nullptr || source == nullptr) return 0;
  memmove(&destination->Header, &source->Header, sizeof destination->Header);
  const BioAPI_DATA &from = source->BiometricData;
  if (from.Length == 0 || from.Data == nullptr) return 1;
  destination->BiometricData.Length = from.Length;
  memmove(destination->BiometricData.Data, from.Data, from.Length);
  return 1;
}

void CBIRCtrl::SetEncrypted(BioAPI_BIR *record) { record->Header.Type |= BioAPI_BIR_DATA_TYPE_ENCRYPTED; }

void CBIRCtrl::ClearEncrypted(BioAPI_BIR *record) {
  record->Header.Type = static_cast<uint8_t>(record->Header.Type & ~BioAPI_BIR_DATA_TYPE_ENCRYPTED);
}

void CBIRCtrl::SetSigned(BioAPI_BIR *record) { record->Header.Type |= BioAPI_BIR_DATA_TYPE_SIGNED; }

int CBIRCtrl::IsSigned(const BioAPI_BIR *record) {
  return record != nullptr && (record->Header.Type & BioAPI_BIR_DATA_TYPE_SIGNED) != 0 ? 1 : 0;
}

}  // namespace ambercrypt
