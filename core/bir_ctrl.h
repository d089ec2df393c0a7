// bir_ctrl.h: CBIRCtrl, the operations on caller-owned BioAPI_BIR records: copy
// a header with its security block or its biometric data, and set or test the
// encrypted (0x10) and signed (0x20) bits of the data type. Stateless. Below
// the features: the BIR cipher (bir/) and the BIR signatures (trust/) use it.
#ifndef AMBERCRYPT_CORE_BIR_CTRL_H_
#define AMBERCRYPT_CORE_BIR_CTRL_H_

#include "ambercrypt/ambercrypt.h"

namespace ambercrypt {

class CBIRCtrl {
 public:
  virtual ~CBIRCtrl() = default;

  // Copies the header, then the security block when source has one and the
  // destination's block is writable and large enough (its length on entry is
  // its capacity). True on success; on a failed block copy the header is
  // copied.
  bool CopyHeaderAndSecurityBlock(BioAPI_BIR *destination, const BioAPI_BIR *source);
  // Copies the header and the biometric data into destination's existing data
  // buffer, which the caller sized for source's data. False only for a null
  // record.
  bool CopyHeaderAndBiometricData(BioAPI_BIR *destination, const BioAPI_BIR *source);
  void SetEncrypted(BioAPI_BIR *record);
  void ClearEncrypted(BioAPI_BIR *record);
  void SetSigned(BioAPI_BIR *record);
  bool IsSigned(const BioAPI_BIR *record);
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CORE_BIR_CTRL_H_
