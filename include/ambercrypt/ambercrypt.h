/*
 * ambercrypt.h: the C interface of the ambercrypt security library.
 *
 * Nineteen exports in two families (KoBioFPI_ for the biometric framework,
 * KoBioSPI_ for administration tools and applications), the result codes they
 * return, and every record a caller passes. Records use fixed-width types and
 * the natural alignment of x86-64, so their layout is the same on Windows and
 * Linux. The caller owns every record and buffer it passes.
 *
 * Threads: every export may be called from any thread, several at once.
 *  - KoBioFPI_CheckMode takes no lock.
 *  - KoBioFPI_EncryptBIR and KoBioFPI_DecryptBIR run one at a time in a
 *    process (they share its cipher object and kept key).
 *  - The status checks run at once; each read-modify-write of the
 *    application's lockout record holds its machine-wide lock, which excludes
 *    threads and processes alike, so no failure is lost.
 *  - The updates and challenges of one family run one at a time: an update
 *    replaces the family's pending outcome, and a challenge answers and
 *    consumes it, each as one step: a challenge answers one whole outcome,
 *    at most once. The pending outcome is the process's (one per application
 *    and family), not the calling thread's: with threads verifying at once, a
 *    challenge may answer another thread's outcome or find none (0x8000813).
 *    The identify challenge reads through the candidates pointer of the last
 *    identify update, whichever thread made it: keep that array alive until
 *    then, or serialise the road from update to challenge.
 *  - The KoBioSPI_ exports run one at a time in a process. A call that names
 *    an application makes it current for the calls that name none (the
 *    challenges, KoBioSPI_DigitalSignBIR, KoBioSPI_VerifyReferenceBIR), which
 *    work on whichever application is current when they run.
 *  - No call may be in flight while the library is loaded or unloaded.
 */
#ifndef AMBERCRYPT_AMBERCRYPT_H_
#define AMBERCRYPT_AMBERCRYPT_H_

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
/* The DLL's exports and ordinals come from its module-definition file. */
#define AMBERCRYPT_API
#elif defined(AMBERCRYPT_BUILDING_LIBRARY)
#define AMBERCRYPT_API __attribute__((visibility("default")))
#else
#define AMBERCRYPT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------ */

#define AMBER_OK                       0u
/* The service object of the export's family does not exist. Never flagged. */
#define AMBER_NOT_INITIALISED          257u
/* Every other failure reaches the caller as internal code | AMBER_ERROR_FLAG. */
#define AMBER_ERROR_FLAG               0x8000000u
/* KoBioSPI_DigitalSignBIR with a null output record. */
#define AMBER_SIGN_NULL_OUTPUT         0x8000103u

/* Internal codes (before the flag is added). There is no 2056. */
#define AMBER_E_NO_SECRET_KEY          2049u /* 0x801 */
#define AMBER_E_BAD_ALGORITHM          2050u /* 0x802 */
#define AMBER_E_BAD_SECRET_KEY         2051u /* 0x803 */
#define AMBER_E_BAD_ADMIN_PASSWORD     2052u /* 0x804 */
#define AMBER_E_BAD_APPLICATION_NAME   2053u /* 0x805 */
#define AMBER_E_NOT_PERMITTED          2054u /* 0x806 */
#define AMBER_E_SETTING_UNAVAILABLE    2055u /* 0x807 */
#define AMBER_E_BAD_MODE               2057u /* 0x809 */
#define AMBER_E_BAD_MAX_FMR            2058u /* 0x80A */
#define AMBER_E_BAD_MAX_FAILURES       2059u /* 0x80B */
#define AMBER_E_BAD_LOCK_MINUTES       2060u /* 0x80C */
#define AMBER_E_BAD_RESPONSE_METHOD    2061u /* 0x80D */
#define AMBER_E_BAD_KEY_TEXT           2062u /* 0x80E */
#define AMBER_E_DELETE_FAILED          2063u /* 0x80F */
#define AMBER_E_BSP_DIGEST_MISMATCH    2064u /* 0x810 */
#define AMBER_E_BAD_CHALLENGE          2065u /* 0x811 */
#define AMBER_E_RESPONSE_FAILED        2066u /* 0x812 */
#define AMBER_E_NO_PENDING_OUTCOME     2067u /* 0x813 */
#define AMBER_E_CERTIFICATE            2068u /* 0x814 */
#define AMBER_E_BIR_NOT_SIGNED         2069u /* 0x815 */
#define AMBER_E_SIGNATURE              2070u /* 0x816 */
#define AMBER_E_ENCRYPT_FAILED         2071u /* 0x817 */
#define AMBER_E_DECRYPT_FAILED         2072u /* 0x818 */
#define AMBER_E_LOCKED_NOW             2073u /* 0x819 */
#define AMBER_E_STATUS_UPDATE          2074u /* 0x81A */
#define AMBER_E_LOCKED                 2075u /* 0x81B */
#define AMBER_E_FMR_LOWERED            2076u /* 0x81C */
#define AMBER_E_MODE_ZERO              2077u /* 0x81D */
#define AMBER_E_BSP_NOT_FOUND          2078u /* 0x81E */

/* AmberResultText: the meaning of a result code, in a few words for a log
 * line or a tool's message ("administrator password refused"). It takes the
 * code as an export returns it or as an internal code without
 * AMBER_ERROR_FLAG; any other code gives AMBER_UNKNOWN_RESULT_TEXT. Defined
 * here, header only: nothing to link, and no export of the library. */
#define AMBER_UNKNOWN_RESULT_TEXT "unknown result code"
static inline const char *AmberResultText(uint32_t code) {
  /* The flag alone is no code (success is never flagged). */
  if (code == AMBER_ERROR_FLAG) return AMBER_UNKNOWN_RESULT_TEXT;
  switch (code & ~AMBER_ERROR_FLAG) {
    case AMBER_OK: return "success";
    case AMBER_NOT_INITIALISED: return "library not attached (its service object does not exist)";
    case AMBER_SIGN_NULL_OUTPUT & ~AMBER_ERROR_FLAG: return "no output record given to sign into";
    case AMBER_E_NO_SECRET_KEY: return "no secret key set for the application, or it cannot be read";
    case AMBER_E_BAD_ALGORITHM: return "cipher not accepted (aes256 or 3des)";
    case AMBER_E_BAD_SECRET_KEY:
      return "secret key refused: missing, empty, longer than 32 characters, or without an upper-case letter, a "
             "lower-case letter and a digit among at least 6 characters";
    case AMBER_E_BAD_ADMIN_PASSWORD: return "administrator password refused";
    case AMBER_E_BAD_APPLICATION_NAME: return "application name missing, empty or longer than 255 characters";
    case AMBER_E_NOT_PERMITTED:
      return "not permitted in the application's restriction mode (secret key, policies and signing certificate "
             "need mode 4, full)";
    case AMBER_E_SETTING_UNAVAILABLE: return "a needed setting is absent or the store cannot be opened, read or written";
    case AMBER_E_BAD_MODE: return "restriction mode above 5";
    case AMBER_E_BAD_MAX_FMR: return "maximum FMR below -1";
    case AMBER_E_BAD_MAX_FAILURES: return "maximum failures negative";
    case AMBER_E_BAD_LOCK_MINUTES: return "lock minutes negative";
    case AMBER_E_BAD_RESPONSE_METHOD: return "response method neither 30 nor 40";
    case AMBER_E_BAD_KEY_TEXT: return "key text empty or longer than 255 characters";
    case AMBER_E_DELETE_FAILED: return "the application's settings cannot be opened or deleted (none stored?)";
    case AMBER_E_BSP_DIGEST_MISMATCH: return "BSP module digest does not match";
    case AMBER_E_BAD_CHALLENGE: return "challenge text or record refused";
    case AMBER_E_RESPONSE_FAILED: return "challenge response cannot be computed";
    case AMBER_E_NO_PENDING_OUTCOME: return "no pending outcome to answer a challenge with";
    case AMBER_E_CERTIFICATE:
      return "certificate missing, not in the \"ROOT\" store, or none registered for the application";
    case AMBER_E_BIR_NOT_SIGNED: return "BIR missing or not marked as signed";
    case AMBER_E_SIGNATURE: return "signature not produced, or it does not verify";
    case AMBER_E_ENCRYPT_FAILED: return "BIR encryption failed";
    case AMBER_E_DECRYPT_FAILED: return "BIR decryption failed";
    case AMBER_E_LOCKED_NOW: return "failure limit just reached: now locked";
    case AMBER_E_STATUS_UPDATE: return "status update refused or not stored";
    case AMBER_E_LOCKED: return "locked until the release time";
    case AMBER_E_FMR_LOWERED: return "requested FMR above the maximum (the maximum is allowed instead)";
    case AMBER_E_MODE_ZERO: return "restriction mode 0: no function allowed";
    case AMBER_E_BSP_NOT_FOUND: return "BSP not found (UUID, registry entry, \"path\" value or module file)";
    default: return AMBER_UNKNOWN_RESULT_TEXT;
  }
}

/* Cipher identifiers accepted for BIR encryption (CryptoAPI ALG_IDs). */
#define AMBER_CALG_3DES                0x6603u
#define AMBER_CALG_AES_256             0x6610u

/* Response methods of a challenge. */
#define AMBER_RESPONSE_SIGNATURE       30u
#define AMBER_RESPONSE_HMAC            40u

/* ---- BioAPI 2.0 records ------------------------------------------------ */
/* Define AMBERCRYPT_NO_BIOAPI_TYPES when the framework's own BioAPI header,
 * with the same layouts, is already included. */
#ifndef AMBERCRYPT_NO_BIOAPI_TYPES

typedef uint8_t BioAPI_UUID[16];

typedef struct BioAPI_DATA {
  uint32_t Length;
  uint8_t *Data;
} BioAPI_DATA;

typedef struct BioAPI_BIR_BIOMETRIC_DATA_FORMAT {
  uint16_t FormatOwner;
  uint16_t FormatType;
} BioAPI_BIR_BIOMETRIC_DATA_FORMAT;

typedef struct BioAPI_BIR_BIOMETRIC_PRODUCT_ID {
  uint16_t ProductOwner;
  uint16_t ProductType;
} BioAPI_BIR_BIOMETRIC_PRODUCT_ID;

typedef struct BioAPI_BIR_SECURITY_BLOCK_FORMAT {
  uint16_t SecurityFormatOwner;
  uint16_t SecurityFormatType;
} BioAPI_BIR_SECURITY_BLOCK_FORMAT;

typedef struct BioAPI_DATE {
  uint16_t Year;
  uint8_t Month;
  uint8_t Day;
} BioAPI_DATE;

typedef struct BioAPI_TIME {
  uint8_t Hour;
  uint8_t Minute;
  uint8_t Second;
} BioAPI_TIME;

typedef struct BioAPI_DTG {
  BioAPI_DATE Date;
  BioAPI_TIME Time;
} BioAPI_DTG;

typedef struct BioAPI_BIR_HEADER {
  uint8_t HeaderVersion;
  uint8_t Type; /* data type: bit 0x10 encrypted, bit 0x20 signed */
  BioAPI_BIR_BIOMETRIC_DATA_FORMAT Format;
  int8_t Quality;
  uint8_t Purpose;
  uint32_t FactorsMask;
  BioAPI_BIR_BIOMETRIC_PRODUCT_ID ProductId;
  BioAPI_DTG CreationDTG;
  uint8_t Subtype;
  BioAPI_DATE ExpirationDate;
  BioAPI_BIR_SECURITY_BLOCK_FORMAT SBFormat;
  BioAPI_UUID Index;
} BioAPI_BIR_HEADER;

typedef struct BioAPI_BIR {
  BioAPI_BIR_HEADER Header;
  BioAPI_DATA BiometricData;
  BioAPI_DATA SecurityBlock; /* Data is null when the record has none */
} BioAPI_BIR;

typedef struct BioAPI_CANDIDATE {
  uint8_t Type;           /* population type; not read by the library */
  uint32_t *BIRInArray;   /* index of the matching BIR in the caller's array */
  int32_t FMRAchieved;
} BioAPI_CANDIDATE;

#define BioAPI_BIR_DATA_TYPE_ENCRYPTED 0x10u
#define BioAPI_BIR_DATA_TYPE_SIGNED    0x20u

#endif /* AMBERCRYPT_NO_BIOAPI_TYPES */

/* ---- ambercrypt records ------------------------------------------------ */

/* A byte blob in the layout of CryptoAPI's CRYPT_INTEGER_BLOB. */
typedef struct AmberBlob {
  uint32_t cbData;
  uint8_t *pbData;
} AmberBlob;

/* Names a certificate; the layout of CERT_ISSUER_SERIAL_NUMBER. The serial
 * number is in CryptoAPI's order: least significant byte first. */
typedef struct IssuerSerial {
  AmberBlob Issuer;       /* DER of the issuer name */
  AmberBlob SerialNumber;
} IssuerSerial;

/* How challenge answers are protected; passed by value. */
typedef struct ResponseMethodRecord {
  uint32_t method;        /* AMBER_RESPONSE_SIGNATURE or AMBER_RESPONSE_HMAC */
  char keyText[272];      /* method 40: 1 to 255 characters and a NUL */
} ResponseMethodRecord;

typedef struct VerifyChallengeRecord {
  uint8_t result;         /* out: 1 when the recorded verify matched */
  uint8_t reserved0[3];
  int32_t achievedFmr;    /* out */
  uint8_t level;          /* out: 0 to 100 */
  char digestText[269];   /* out: Base64 of the BIR digest and a line feed */
  char challenge[269];    /* out: the challenge, zero-filled */
  uint8_t reserved1[5];
  uint32_t responseLength; /* in: capacity of responseData; out: its length */
  uint8_t reserved2[4];
  uint8_t *responseData;  /* in: the caller's buffer, or null to ask the size */
} VerifyChallengeRecord;

typedef struct IdentifyChallengeRecord {
  uint8_t count;          /* out: number of candidates, low 8 bits */
  uint8_t reserved0[7];
  BioAPI_CANDIDATE **candidates; /* out: as given to the identify update */
  uint8_t level;          /* out: 0 to 100 */
  char challenge[269];    /* out */
  uint8_t reserved1[2];
  uint32_t responseLength; /* in/out */
  uint8_t reserved2[4];
  uint8_t *responseData;  /* in */
} IdentifyChallengeRecord;

/* ---- Layout checks ----------------------------------------------------- */

#ifdef __cplusplus
#define AMBER_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define AMBER_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

AMBER_STATIC_ASSERT(sizeof(void *) == 8, "ambercrypt records are laid out for 64-bit targets");
AMBER_STATIC_ASSERT(sizeof(BioAPI_UUID) == 16, "UUID is 16 bytes");
AMBER_STATIC_ASSERT(sizeof(BioAPI_BIR_HEADER) == 52, "BIR header is 52 bytes");
AMBER_STATIC_ASSERT(offsetof(BioAPI_BIR_HEADER, Type) == 1, "data type is the header's second byte");
AMBER_STATIC_ASSERT(sizeof(BioAPI_BIR) == 88, "BIR is 88 bytes");
AMBER_STATIC_ASSERT(offsetof(BioAPI_BIR, BiometricData) + offsetof(BioAPI_DATA, Length) == 56, "biometric data length at 56");
AMBER_STATIC_ASSERT(offsetof(BioAPI_BIR, BiometricData) + offsetof(BioAPI_DATA, Data) == 64, "biometric data pointer at 64");
AMBER_STATIC_ASSERT(offsetof(BioAPI_BIR, SecurityBlock) + offsetof(BioAPI_DATA, Length) == 72, "security block length at 72");
AMBER_STATIC_ASSERT(offsetof(BioAPI_BIR, SecurityBlock) + offsetof(BioAPI_DATA, Data) == 80, "security block pointer at 80");
AMBER_STATIC_ASSERT(sizeof(BioAPI_CANDIDATE) == 24, "candidate record is 24 bytes");
AMBER_STATIC_ASSERT(offsetof(BioAPI_CANDIDATE, BIRInArray) == 8, "candidate index pointer at 8");
AMBER_STATIC_ASSERT(offsetof(BioAPI_CANDIDATE, FMRAchieved) == 16, "candidate FMR at 16");
AMBER_STATIC_ASSERT(sizeof(AmberBlob) == 16, "blob is 16 bytes");
AMBER_STATIC_ASSERT(sizeof(IssuerSerial) == 32, "IssuerSerial is 32 bytes");
AMBER_STATIC_ASSERT(offsetof(IssuerSerial, SerialNumber) == 16, "serial number blob at 16");
AMBER_STATIC_ASSERT(sizeof(ResponseMethodRecord) == 276, "ResponseMethodRecord is 276 bytes");
AMBER_STATIC_ASSERT(offsetof(ResponseMethodRecord, keyText) == 4, "keyText at 4");
AMBER_STATIC_ASSERT(sizeof(VerifyChallengeRecord) == 568, "VerifyChallengeRecord is 568 bytes");
AMBER_STATIC_ASSERT(offsetof(VerifyChallengeRecord, achievedFmr) == 4, "achievedFmr at 4");
AMBER_STATIC_ASSERT(offsetof(VerifyChallengeRecord, level) == 8, "level at 8");
AMBER_STATIC_ASSERT(offsetof(VerifyChallengeRecord, digestText) == 9, "digestText at 9");
AMBER_STATIC_ASSERT(offsetof(VerifyChallengeRecord, challenge) == 278, "challenge at 278");
AMBER_STATIC_ASSERT(offsetof(VerifyChallengeRecord, responseLength) == 552, "responseLength at 552");
AMBER_STATIC_ASSERT(offsetof(VerifyChallengeRecord, responseData) == 560, "responseData at 560");
AMBER_STATIC_ASSERT(sizeof(IdentifyChallengeRecord) == 304, "IdentifyChallengeRecord is 304 bytes");
AMBER_STATIC_ASSERT(offsetof(IdentifyChallengeRecord, candidates) == 8, "candidates at 8");
AMBER_STATIC_ASSERT(offsetof(IdentifyChallengeRecord, level) == 16, "level at 16");
AMBER_STATIC_ASSERT(offsetof(IdentifyChallengeRecord, challenge) == 17, "challenge at 17");
AMBER_STATIC_ASSERT(offsetof(IdentifyChallengeRecord, responseLength) == 288, "responseLength at 288");
AMBER_STATIC_ASSERT(offsetof(IdentifyChallengeRecord, responseData) == 296, "responseData at 296");

/* ---- Exports (ordinals 1 to 19, in this order) -------------------------- */

/* KoBioFPI_CheckMode: 0 when the host application may use the BSP functions
 * whose bits are set in functionMask. */
AMBERCRYPT_API uint32_t KoBioFPI_CheckMode(uint32_t functionMask);
/* KoBioFPI_DecryptBIR: decrypts input's biometric data into output. The
 * output's BiometricData.Length on entry is the capacity of its Data buffer;
 * a buffer of input->BiometricData.Length bytes always suffices. */
AMBERCRYPT_API uint32_t KoBioFPI_DecryptBIR(const BioAPI_BIR *input, BioAPI_BIR *output);
/* KoBioFPI_EncryptBIR: encrypts input's biometric data into output; with a
 * null output Data, reports the ciphertext size in output->BiometricData.Length. */
AMBERCRYPT_API uint32_t KoBioFPI_EncryptBIR(const BioAPI_BIR *input, BioAPI_BIR *output);
/* KoBioFPI_IdentifySecurityStatas: whether an identification may go ahead. */
AMBERCRYPT_API uint32_t KoBioFPI_IdentifySecurityStatas(const void *reserved, int32_t requestedFmr,
                                                        int32_t *allowedFmr, uint8_t *policyFlagOut);
/* KoBioFPI_UpdateIdentifyStatus: records an identification's outcome. */
AMBERCRYPT_API uint32_t KoBioFPI_UpdateIdentifyStatus(uint32_t *numberOfResults,
                                                      BioAPI_CANDIDATE **candidates, uint8_t level);
/* KoBioFPI_UpdateVerifyStatus: records a verification's outcome. */
AMBERCRYPT_API uint32_t KoBioFPI_UpdateVerifyStatus(uint8_t result, const BioAPI_BIR *bir,
                                                    int32_t achievedFmr, uint8_t level);
/* KoBioFPI_VerifySecurityStatas: whether a verification may go ahead. */
AMBERCRYPT_API uint32_t KoBioFPI_VerifySecurityStatas(const BioAPI_BIR *bir, int32_t requestedFmr,
                                                      int32_t *allowedFmr, uint8_t *policyFlagOut);
/* KoBioSPI_DeleteParameter: removes an application's settings. */
AMBERCRYPT_API uint32_t KoBioSPI_DeleteParameter(const char *applicationName);
/* KoBioSPI_DigitalSignBIR: signs inputBir's biometric data into outputBir.
 * With a null outputBir->SecurityBlock.Data, reports the signed message's size
 * in its Length. Otherwise SecurityBlock.Length is the capacity of its Data
 * buffer, and outputBir->BiometricData.Data must hold at least
 * inputBir->BiometricData.Length bytes: the input's data is copied there, and
 * the library cannot check that buffer's capacity. */
AMBERCRYPT_API uint32_t KoBioSPI_DigitalSignBIR(const BioAPI_BIR *inputBir, BioAPI_BIR *outputBir);
/* KoBioSPI_IdentifyChallenge: answers a challenge over the last identification. */
AMBERCRYPT_API uint32_t KoBioSPI_IdentifyChallenge(const char *challenge, IdentifyChallengeRecord *record);
/* KoBioSPI_InitCerfificate: registers an application's BIR-signing certificate. */
AMBERCRYPT_API uint32_t KoBioSPI_InitCerfificate(const char *applicationName, const IssuerSerial *issuerSerial,
                                                 const char *adminPassword);
/* KoBioSPI_InitIdentifyParameter: stores an application's identify policy. */
AMBERCRYPT_API uint32_t KoBioSPI_InitIdentifyParameter(const char *applicationName, int32_t maxFmr,
                                                       int32_t maxFailures, int32_t lockMinutes,
                                                       uint8_t policyFlag, ResponseMethodRecord responseMethod,
                                                       const char *adminPassword);
/* KoBioSPI_InitSecretKey: stores an application's BIR secret key and cipher. */
AMBERCRYPT_API uint32_t KoBioSPI_InitSecretKey(const char *applicationName, uint32_t algorithm,
                                               const char *secretKey, const char *adminPassword);
/* KoBioSPI_InitVerifyParameter: stores an application's verify policy. */
AMBERCRYPT_API uint32_t KoBioSPI_InitVerifyParameter(const char *applicationName, int32_t maxFmr,
                                                     int32_t maxFailures, int32_t lockMinutes,
                                                     uint8_t policyFlag, ResponseMethodRecord responseMethod,
                                                     const char *adminPassword);
/* KoBioSPI_RestrictBSPFunction: sets an application's restriction mode (0 to 5). */
AMBERCRYPT_API uint32_t KoBioSPI_RestrictBSPFunction(const char *applicationName, uint32_t mode,
                                                     uint32_t customMask, const char *adminPassword);
/* KoBioSPI_SetEndUserParameter: registers the certificate that signs answers. */
AMBERCRYPT_API uint32_t KoBioSPI_SetEndUserParameter(const char *applicationName, const IssuerSerial *issuerSerial);
/* KoBioSPI_VerifyBSP: checks a BSP module file's SHA-1 digest text. */
AMBERCRYPT_API uint32_t KoBioSPI_VerifyBSP(const BioAPI_UUID *bspUuid, const char *expectedDigest);
/* KoBioSPI_VerifyChallenge: answers a challenge over the last verification. */
AMBERCRYPT_API uint32_t KoBioSPI_VerifyChallenge(const char *challenge, VerifyChallengeRecord *record);
/* KoBioSPI_VerifyReferenceBIR: checks a signed reference BIR. */
AMBERCRYPT_API uint32_t KoBioSPI_VerifyReferenceBIR(const BioAPI_BIR *bir);

#ifdef __cplusplus
}
#endif

#endif /* AMBERCRYPT_AMBERCRYPT_H_ */
