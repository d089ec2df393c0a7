#include "core/bir_ctrl.h"

#include <cstring>

#include "platform/win32_api.h"

namespace ambercrypt {

bool CBIRCtrl::CopyHeaderAndSecurityBlock(BioAPI_BIR *destination, const BioAPI_BIR *source) {
  if (destination == nullptr || source == nullptr) return false;
  memmove(&destination->Header, &source->Header, sizeof destination->Header);
  const BioAPI_DATA &from = source->SecurityBlock;
  BioAPI_DATA &to = destination->SecurityBlock;
  if (from.Length == 0 || from.Data == nullptr) return true;
  if (IsBadReadPtr(from.Data, from.Length)) return false;
  if (IsBadWritePtr(to.Data, from.Length)) return false;
  if (to.Length < from.Length) return false;
  to.Length = from.Length;
  memmove(to.Data, from.Data, from.Length);
  return true;
}

bool CBIRCtrl::CopyHeaderAndBiometricData(BioAPI_BIR *destination, const BioAPI_BIR *source) {
  if (destination == nullptr || source == nullptr) return false;
  memmove(&destination->Header, &source->Header, sizeof destination->Header);
  const BioAPI_DATA &from = source->BiometricData;
  if (from.Length == 0 || from.Data == nullptr) return true;
  destination->BiometricData.Length = from.Length;
  memmove(destination->BiometricData.Data, from.Data, from.Length);
  return true;
}

void CBIRCtrl::SetEncrypted(BioAPI_BIR *record) { record->Header.Type |= BioAPI_BIR_DATA_TYPE_ENCRYPTED; }

void CBIRCtrl::ClearEncrypted(BioAPI_BIR *record) {
  record->Header.Type = static_cast<uint8_t>(record->Header.Type & ~BioAPI_BIR_DATA_TYPE_ENCRYPTED);
}

void CBIRCtrl::SetSigned(BioAPI_BIR *record) { record->Header.Type |= BioAPI_BIR_DATA_TYPE_SIGNED; }

bool CBIRCtrl::IsSigned(const BioAPI_BIR *record) {
  return record != nullptr && (record->Header.Type & BioAPI_BIR_DATA_TYPE_SIGNED) != 0;
}

}  // namespace ambercrypt
