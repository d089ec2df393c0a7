/* A host of the built library for the two-identity access test: one export
 * per run, under the application named by this program's file name.
 *   access_host LIBRARY EXPORT [ARGUMENT]
 * prints the export's result code (hex) and exits 0; 2 for a usage error, 3
 * when what the export needs first (an earlier call in the same process)
 * failed. The administrator password, where an export takes one, is the
 * first line of the file $ACCESS_PASSWORD_FILE; a certificate, the one in the
 * PEM file $ACCESS_SIGNER_CERT. ARGUMENT: for DigitalSignBIR
 * a file the security block is written to, for VerifyReferenceBIR the file it
 * is read from, for VerifyBSP the module's digest text. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include "ambercrypt/ambercrypt.h"

static void *library;
static char application[256];
static char password[256];

static void *Export(const char *name) {
  void *f = dlsym(library, name);
  if (f == NULL) {
    printf("no export %s\n", name);
    exit(2);
  }
  return f;
}

#define CALL(type, name) ((type)Export(name))

typedef uint32_t (*CheckModeFn)(uint32_t);
typedef uint32_t (*CipherFn)(const BioAPI_BIR *, BioAPI_BIR *);
typedef uint32_t (*StatusFn)(const BioAPI_BIR *, int32_t, int32_t *, uint8_t *);
typedef uint32_t (*IdentifyStatusFn)(const void *, int32_t, int32_t *, uint8_t *);
typedef uint32_t (*UpdateVerifyFn)(uint8_t, const BioAPI_BIR *, int32_t, uint8_t);
typedef uint32_t (*UpdateIdentifyFn)(uint32_t *, BioAPI_CANDIDATE **, uint8_t);
typedef uint32_t (*VerifyChallengeFn)(const char *, VerifyChallengeRecord *);
typedef uint32_t (*IdentifyChallengeFn)(const char *, IdentifyChallengeRecord *);
typedef uint32_t (*SignFn)(const BioAPI_BIR *, BioAPI_BIR *);
typedef uint32_t (*VerifyBirFn)(const BioAPI_BIR *);
typedef uint32_t (*VerifyBspFn)(const BioAPI_UUID *, const char *);
typedef uint32_t (*RestrictFn)(const char *, uint32_t, uint32_t, const char *);
typedef uint32_t (*SecretKeyFn)(const char *, uint32_t, const char *, const char *);
typedef uint32_t (*PolicyFn)(const char *, int32_t, int32_t, int32_t, uint8_t, ResponseMethodRecord, const char *);
typedef uint32_t (*CertificateFn)(const char *, const IssuerSerial *, const char *);
typedef uint32_t (*EndUserFn)(const char *, const IssuerSerial *);
typedef uint32_t (*DeleteFn)(const char *);

static uint8_t data[64];
static BioAPI_BIR Record(uint8_t *bytes, uint32_t length) {
  BioAPI_BIR bir;
  memset(&bir, 0, sizeof bir);
  bir.Header.Type = 4;
  bir.BiometricData.Length = length;
  bir.BiometricData.Data = bytes;
  return bir;
}

/* Runs what an export needs first; exits 3 when it fails. */
static void Need(const char *what, uint32_t code) {
  if (code == 0) return;
  printf("%s failed first: 0x%07x\n", what, (unsigned)code);
  exit(3);
}

static uint32_t Encrypted(BioAPI_BIR *out, uint8_t *buffer, uint32_t capacity) {
  BioAPI_BIR in = Record(data, sizeof data);
  *out = Record(buffer, capacity);
  return CALL(CipherFn, "KoBioFPI_EncryptBIR")(&in, out);
}

static uint32_t Verified(void) {
  BioAPI_BIR bir = Record(data, sizeof data);
  int32_t allowed = 0;
  uint8_t flag = 0;
  uint32_t code = CALL(StatusFn, "KoBioFPI_VerifySecurityStatas")(&bir, 100, &allowed, &flag);
  return code != 0 ? code : CALL(UpdateVerifyFn, "KoBioFPI_UpdateVerifyStatus")(1, &bir, 100, 80);
}

static uint32_t Identified(void) {
  int32_t allowed = 0;
  uint8_t flag = 0;
  uint32_t found = 0;
  BioAPI_CANDIDATE *none = NULL;
  uint32_t code = CALL(IdentifyStatusFn, "KoBioFPI_IdentifySecurityStatas")(NULL, 100, &allowed, &flag);
  return code != 0 ? code : CALL(UpdateIdentifyFn, "KoBioFPI_UpdateIdentifyStatus")(&found, &none, 50);
}

/* The issuer and serial number of the certificate in the PEM file
 * $ACCESS_SIGNER_CERT, as CryptoAPI holds them (the serial's bytes least
 * significant first). */
static uint8_t issuerBytes[4096], serialBytes[64];
static IssuerSerial Signer(void) {
  IssuerSerial id;
  memset(&id, 0, sizeof id);
  const char *path = getenv("ACCESS_SIGNER_CERT");
  FILE *f = path != NULL ? fopen(path, "r") : NULL;
  X509 *cert = f != NULL ? PEM_read_X509(f, NULL, NULL, NULL) : NULL;
  if (f != NULL) fclose(f);
  if (cert == NULL) return id;
  int issuerLength = i2d_X509_NAME(X509_get_issuer_name(cert), NULL);
  unsigned char *der = NULL;
  int serialLength = i2d_ASN1_INTEGER(X509_get_serialNumber(cert), &der);
  if (issuerLength > 0 && issuerLength <= (int)sizeof issuerBytes && serialLength > 2 &&
      serialLength - 2 <= (int)sizeof serialBytes) {
    unsigned char *p = issuerBytes;
    i2d_X509_NAME(X509_get_issuer_name(cert), &p);
    int n = serialLength - 2; /* short-form length: serials are at most 20 bytes */
    for (int i = 0; i < n; ++i) serialBytes[i] = der[serialLength - 1 - i];
    id.Issuer.cbData = (uint32_t)issuerLength;
    id.Issuer.pbData = issuerBytes;
    id.SerialNumber.cbData = (uint32_t)n;
    id.SerialNumber.pbData = serialBytes;
  }
  OPENSSL_free(der);
  X509_free(cert);
  return id;
}

static ResponseMethodRecord Hmac(void) {
  ResponseMethodRecord r;
  memset(&r, 0, sizeof r);
  r.method = AMBER_RESPONSE_HMAC;
  snprintf(r.keyText, sizeof r.keyText, "%s", "Access-Key-Text-1");
  return r;
}

static uint32_t Run(const char *name, const char *argument) {
  static uint8_t cipher[80], plain[80], block[8192];
  BioAPI_BIR encrypted, decrypted;
  if (strcmp(name, "CheckMode") == 0) return CALL(CheckModeFn, "KoBioFPI_CheckMode")(0x0001);
  if (strcmp(name, "EncryptBIR") == 0) return Encrypted(&encrypted, cipher, sizeof cipher);
  if (strcmp(name, "DecryptBIR") == 0) {
    Need("EncryptBIR", Encrypted(&encrypted, cipher, sizeof cipher));
    decrypted = Record(plain, sizeof plain);
    uint32_t code = CALL(CipherFn, "KoBioFPI_DecryptBIR")(&encrypted, &decrypted);
    return code == 0 && memcmp(plain, data, sizeof data) != 0 ? 1 : code;
  }
  if (strcmp(name, "VerifySecurityStatas") == 0) {
    BioAPI_BIR bir = Record(data, sizeof data);
    int32_t allowed = 0;
    uint8_t flag = 0;
    return CALL(StatusFn, "KoBioFPI_VerifySecurityStatas")(&bir, 100, &allowed, &flag);
  }
  if (strcmp(name, "UpdateVerifyStatus") == 0) {
    /* A failure: counted in the application's lockout record. */
    BioAPI_BIR bir = Record(data, sizeof data);
    return CALL(UpdateVerifyFn, "KoBioFPI_UpdateVerifyStatus")(0, &bir, 100, 80);
  }
  if (strcmp(name, "IdentifySecurityStatas") == 0) {
    int32_t allowed = 0;
    uint8_t flag = 0;
    return CALL(IdentifyStatusFn, "KoBioFPI_IdentifySecurityStatas")(NULL, 100, &allowed, &flag);
  }
  if (strcmp(name, "UpdateIdentifyStatus") == 0) {
    uint32_t found = 0;
    BioAPI_CANDIDATE *none = NULL;
    return CALL(UpdateIdentifyFn, "KoBioFPI_UpdateIdentifyStatus")(&found, &none, 50);
  }
  if (strcmp(name, "VerifyChallenge") == 0) {
    static VerifyChallengeRecord record;
    static uint8_t response[20];
    Need("verify check and update", Verified());
    record.responseData = response;
    record.responseLength = sizeof response;
    return CALL(VerifyChallengeFn, "KoBioSPI_VerifyChallenge")("Access7Challenge", &record);
  }
  if (strcmp(name, "IdentifyChallenge") == 0) {
    static IdentifyChallengeRecord record;
    static uint8_t response[20];
    Need("identify check and update", Identified());
    record.responseData = response;
    record.responseLength = sizeof response;
    return CALL(IdentifyChallengeFn, "KoBioSPI_IdentifyChallenge")("Access7Challenge", &record);
  }
  if (strcmp(name, "DigitalSignBIR") == 0) {
    BioAPI_BIR in = Record(data, sizeof data), out = Record(plain, sizeof plain);
    out.SecurityBlock.Length = sizeof block;
    out.SecurityBlock.Data = block;
    uint32_t code = CALL(SignFn, "KoBioSPI_DigitalSignBIR")(&in, &out);
    if (code == 0 && argument != NULL) {
      FILE *f = fopen(argument, "wb");
      if (f == NULL || fwrite(block, 1, out.SecurityBlock.Length, f) != out.SecurityBlock.Length) return 1;
      fclose(f);
    }
    return code;
  }
  if (strcmp(name, "VerifyReferenceBIR") == 0) {
    FILE *f = argument != NULL ? fopen(argument, "rb") : NULL;
    if (f == NULL) return 1;
    size_t n = fread(block, 1, sizeof block, f);
    fclose(f);
    BioAPI_BIR bir = Record(data, sizeof data);
    bir.Header.Type |= 0x20;
    bir.SecurityBlock.Length = (uint32_t)n;
    bir.SecurityBlock.Data = block;
    return CALL(VerifyBirFn, "KoBioSPI_VerifyReferenceBIR")(&bir);
  }
  if (strcmp(name, "VerifyBSP") == 0) {
    static const BioAPI_UUID uuid = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                     0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    return CALL(VerifyBspFn, "KoBioSPI_VerifyBSP")(&uuid, argument != NULL ? argument : "");
  }
  if (strcmp(name, "RestrictBSPFunction") == 0) {
    return CALL(RestrictFn, "KoBioSPI_RestrictBSPFunction")(application, 4, 0, password);
  }
  if (strcmp(name, "InitSecretKey") == 0) {
    return CALL(SecretKeyFn, "KoBioSPI_InitSecretKey")(application, AMBER_CALG_AES_256, "Access-Secret-9", password);
  }
  if (strcmp(name, "InitVerifyParameter") == 0) {
    return CALL(PolicyFn, "KoBioSPI_InitVerifyParameter")(application, 1000, 50, 5, 0, Hmac(), password);
  }
  if (strcmp(name, "InitIdentifyParameter") == 0) {
    return CALL(PolicyFn, "KoBioSPI_InitIdentifyParameter")(application, 1000, 50, 5, 0, Hmac(), password);
  }
  if (strcmp(name, "InitCerfificate") == 0) {
    IssuerSerial id = Signer();
    return CALL(CertificateFn, "KoBioSPI_InitCerfificate")(application, &id, password);
  }
  if (strcmp(name, "SetEndUserParameter") == 0) {
    IssuerSerial id = Signer();
    return CALL(EndUserFn, "KoBioSPI_SetEndUserParameter")(application, &id);
  }
  if (strcmp(name, "DeleteParameter") == 0) return CALL(DeleteFn, "KoBioSPI_DeleteParameter")(application);
  printf("unknown export %s\n", name);
  exit(2);
}

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: access_host LIBRARY EXPORT [ARGUMENT]\n");
    return 2;
  }
  const char *slash = strrchr(argv[0], '/');
  snprintf(application, sizeof application, "%s", slash != NULL ? slash + 1 : argv[0]);
  const char *passwordFile = getenv("ACCESS_PASSWORD_FILE");
  FILE *f = passwordFile != NULL ? fopen(passwordFile, "r") : NULL;
  if (f != NULL) {
    if (fgets(password, sizeof password, f) == NULL) password[0] = '\0';
    password[strcspn(password, "\r\n")] = '\0';
    fclose(f);
  }
  for (size_t i = 0; i < sizeof data; ++i) data[i] = (uint8_t)(i * 29 + 3);
  library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    printf("cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  uint32_t code = Run(argv[2], argc == 4 ? argv[3] : NULL);
  printf("0x%07x\n", (unsigned)code);
  dlclose(library);
  return 0;
}
