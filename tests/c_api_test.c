/* The public header from plain C: every record type and every export, called
 * against the real library, which attached itself when it was loaded. */
#include <stdio.h>
#include <string.h>

#include "ambercrypt/ambercrypt.h"

static int failures = 0;

static void expect(const char *what, uint32_t actual, uint32_t expected) {
  if (actual != expected) {
    printf("FAILED %s: 0x%x, expected 0x%x\n", what, (unsigned)actual, (unsigned)expected);
    ++failures;
  }
}

int main(void) {
  BioAPI_BIR bir;
  ResponseMethodRecord method;
  VerifyChallengeRecord verify;
  IdentifyChallengeRecord identify;
  IssuerSerial issuer;
  BioAPI_UUID uuid;
  uint32_t count = 0;
  int32_t allowed = 0;
  uint8_t flag = 0;
  memset(&bir, 0, sizeof bir);
  memset(&method, 0, sizeof method);
  memset(&verify, 0, sizeof verify);
  memset(&identify, 0, sizeof identify);
  memset(&issuer, 0, sizeof issuer);
  memset(uuid, 0, sizeof uuid);

  /* A fresh store: the host has no settings, so every operation that needs
   * one answers 2055, and null arguments get their operation's code. */
  expect("CheckMode", KoBioFPI_CheckMode(1), AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG);
  expect("DecryptBIR", KoBioFPI_DecryptBIR(NULL, &bir), AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG);
  expect("EncryptBIR", KoBioFPI_EncryptBIR(&bir, NULL), AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG);
  expect("EncryptBIR without key", KoBioFPI_EncryptBIR(&bir, &bir), AMBER_E_NO_SECRET_KEY | AMBER_ERROR_FLAG);
  expect("IdentifySecurityStatas", KoBioFPI_IdentifySecurityStatas(NULL, 0, &allowed, &flag),
         AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG);
  expect("UpdateIdentifyStatus null candidates", KoBioFPI_UpdateIdentifyStatus(&count, NULL, 0),
         AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG);
  expect("UpdateVerifyStatus of a BIR without data", KoBioFPI_UpdateVerifyStatus(1, &bir, 0, 0),
         AMBER_E_STATUS_UPDATE | AMBER_ERROR_FLAG);
  expect("VerifySecurityStatas", KoBioFPI_VerifySecurityStatas(&bir, 0, &allowed, &flag),
         AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG);
  expect("DeleteParameter", KoBioSPI_DeleteParameter(NULL) & AMBER_ERROR_FLAG, AMBER_ERROR_FLAG);
  expect("DigitalSignBIR null output", KoBioSPI_DigitalSignBIR(&bir, NULL), AMBER_SIGN_NULL_OUTPUT);
  /* A challenge must pass the password rules; a usable one finds no
   * application key and no outcome for the host. */
  expect("IdentifyChallenge without an upper-case letter", KoBioSPI_IdentifyChallenge("challenge1", &identify),
         AMBER_E_BAD_CHALLENGE | AMBER_ERROR_FLAG);
  expect("IdentifyChallenge", KoBioSPI_IdentifyChallenge("Challenge1", &identify),
         AMBER_E_NO_PENDING_OUTCOME | AMBER_ERROR_FLAG);
  /* Not yet built: answers with an error code. */
  expect("InitCerfificate", KoBioSPI_InitCerfificate("App", &issuer, "Password1") & AMBER_ERROR_FLAG,
         AMBER_ERROR_FLAG);
  /* No administrator password is provisioned: every password is wrong. */
  expect("InitIdentifyParameter", KoBioSPI_InitIdentifyParameter("App", 0, 0, 0, 1, method, "Password1"),
         AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG);
  expect("InitSecretKey", KoBioSPI_InitSecretKey(NULL, AMBER_CALG_3DES, "Key123", "Password1"),
         AMBER_E_BAD_APPLICATION_NAME | AMBER_ERROR_FLAG);
  expect("InitVerifyParameter", KoBioSPI_InitVerifyParameter("App", 0, 0, 0, 1, method, "Password1"),
         AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG);
  expect("RestrictBSPFunction", KoBioSPI_RestrictBSPFunction("App", 1, 0, NULL),
         AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG);
  expect("SetEndUserParameter", KoBioSPI_SetEndUserParameter("App", &issuer) & AMBER_ERROR_FLAG, AMBER_ERROR_FLAG);
  /* No BSP is registered under the UUID; a missing digest text is checked first. */
  expect("VerifyBSP", KoBioSPI_VerifyBSP((const BioAPI_UUID *)&uuid, "digest"), AMBER_E_BSP_NOT_FOUND | AMBER_ERROR_FLAG);
  expect("VerifyBSP null digest", KoBioSPI_VerifyBSP(NULL, NULL), AMBER_E_BSP_DIGEST_MISMATCH | AMBER_ERROR_FLAG);
  expect("VerifyChallenge null record", KoBioSPI_VerifyChallenge("Challenge1", NULL),
         AMBER_E_BAD_CHALLENGE | AMBER_ERROR_FLAG);
  expect("VerifyChallenge", KoBioSPI_VerifyChallenge("Challenge1", &verify), AMBER_E_NO_PENDING_OUTCOME | AMBER_ERROR_FLAG);
  expect("VerifyReferenceBIR", KoBioSPI_VerifyReferenceBIR(&bir) & AMBER_ERROR_FLAG, AMBER_ERROR_FLAG);

  if (failures != 0) return 1;
  printf("all nineteen exports answered from C\n");
  return 0;
}
