// certificate_id.h: the encoding of a stored issuer and serial moved below the
// features, to store/certificate_id.h; this name stays only for the
// administration tool, which includes it. Nothing in the library includes it:
// include the store header instead.
#ifndef AMBERCRYPT_TRUST_CERTIFICATE_ID_H_
#define AMBERCRYPT_TRUST_CERTIFICATE_ID_H_

#include "store/certificate_id.h"

#endif  // AMBERCRYPT_TRUST_CERTIFICATE_ID_H_
