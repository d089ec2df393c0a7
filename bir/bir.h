// bir.h: the BIR cipher feature, KoBioFPI_EncryptBIR and KoBioFPI_DecryptBIR:
// the biometric data of a record enciphered or deciphered with the host
// application's secret key block and cipher. Each runs on the FPI context's
// cipher under its lock and returns AMBER_OK or the library's code; frame/
// (CFPICtrl) is its only caller.
#ifndef AMBERCRYPT_BIR_BIR_H_
#define AMBERCRYPT_BIR_BIR_H_

#include <cstdint>

#include "ambercrypt/ambercrypt.h"
#include "core/context.h"

namespace ambercrypt {

uint32_t EncryptBIR(FpiContext &fpi, const BioAPI_BIR *input, BioAPI_BIR *output);
uint32_t DecryptBIR(FpiContext &fpi, const BioAPI_BIR *input, BioAPI_BIR *output);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_BIR_BIR_H_
