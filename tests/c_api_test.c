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
  expect("DeleteParameter null name", KoBioSPI_DeleteParameter(NULL), AMBER_E_BAD_APPLICATION_NAME | AMBER_ERROR_FLAG);
  expect("DeleteParameter of an application never set up", KoBioSPI_DeleteParameter("App"),
         AMBER_E_DELETE_FAILED | AMBER_ERROR_FLAG);
  expect("DigitalSignBIR null output", KoBioSPI_DigitalSignBIR(&bir, NULL), AMBER_SIGN_NULL_OUTPUT);
  expect("DigitalSignBIR null input", KoBioSPI_DigitalSignBIR(NULL, &bir), AMBER_E_SIGNATURE | AMBER_ERROR_FLAG);
  /* "App" (the current application since DeleteParameter) has no certificate. */
  expect("DigitalSignBIR without a certificate", KoBioSPI_DigitalSignBIR(&bir, &bir),
         AMBER_E_CERTIFICATE | AMBER_ERROR_FLAG);
  expect("VerifyReferenceBIR of an unsigned BIR", KoBioSPI_VerifyReferenceBIR(&bir),
         AMBER_E_BIR_NOT_SIGNED | AMBER_ERROR_FLAG);
  bir.Header.Type = BioAPI_BIR_DATA_TYPE_SIGNED;
  expect("VerifyReferenceBIR without a certificate", KoBioSPI_VerifyReferenceBIR(&bir),
         AMBER_E_CERTIFICATE | AMBER_ERROR_FLAG);
  /* An empty issuer and serial number name no certificate of "ROOT". */
  expect("SetEndUserParameter", KoBioSPI_SetEndUserParameter("App", &issuer), AMBER_E_CERTIFICATE | AMBER_ERROR_FLAG);
  expect("InitCerfificate null certificate", KoBioSPI_InitCerfificate("App", NULL, "Password1"),
         AMBER_E_CERTIFICATE | AMBER_ERROR_FLAG);
  /* A challenge must pass the password rules; a usable one finds no outcome
   * for the current application ("App"). */
  expect("IdentifyChallenge without an upper-case letter", KoBioSPI_IdentifyChallenge("challenge1", &identify),
         AMBER_E_BAD_CHALLENGE | AMBER_ERROR_FLAG);
  expect("IdentifyChallenge", KoBioSPI_IdentifyChallenge("Challenge1", &identify),
         AMBER_E_NO_PENDING_OUTCOME | AMBER_ERROR_FLAG);
  /* No administrator password is provisioned: every password is wrong. */
  expect("InitCerfificate", KoBioSPI_InitCerfificate("App", &issuer, "Password1"),
         AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG);
  expect("InitIdentifyParameter", KoBioSPI_InitIdentifyParameter("App", 0, 0, 0, 1, method, "Password1"),
         AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG);
  expect("InitSecretKey", KoBioSPI_InitSecretKey(NULL, AMBER_CALG_3DES, "Key123", "Password1"),
         AMBER_E_BAD_APPLICATION_NAME | AMBER_ERROR_FLAG);
  expect("InitVerifyParameter", KoBioSPI_InitVerifyParameter("App", 0, 0, 0, 1, method, "Password1"),
         AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG);
  expect("RestrictBSPFunction", KoBioSPI_RestrictBSPFunction("App", 1, 0, NULL),
         AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG);
  /* No BSP is registered under the UUID; a missing digest text is checked first. */
  expect("VerifyBSP", KoBioSPI_VerifyBSP((const BioAPI_UUID *)&uuid, "digest"), AMBER_E_BSP_NOT_FOUND | AMBER_ERROR_FLAG);
  expect("VerifyBSP null digest", KoBioSPI_VerifyBSP(NULL, NULL), AMBER_E_BSP_DIGEST_MISMATCH | AMBER_ERROR_FLAG);
  expect("VerifyChallenge null record", KoBioSPI_VerifyChallenge("Challenge1", NULL),
         AMBER_E_BAD_CHALLENGE | AMBER_ERROR_FLAG);
  expect("VerifyChallenge", KoBioSPI_VerifyChallenge("Challenge1", &verify), AMBER_E_NO_PENDING_OUTCOME | AMBER_ERROR_FLAG);

  /* The meanings of the codes, from the header alone: a code as an export
   * returns it and the same code without the flag read alike. */
  {
    static const struct {
      uint32_t code;
      const char *text;
    } meanings[] = {
        {AMBER_OK, "success"},
        {AMBER_NOT_INITIALISED, "library not attached (its service object does not exist)"},
        {AMBER_SIGN_NULL_OUTPUT, "no output record given to sign into"},
        {AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG, "administrator password refused"},
        {AMBER_E_BAD_ADMIN_PASSWORD, "administrator password refused"},
        {AMBER_E_BSP_NOT_FOUND | AMBER_ERROR_FLAG,
         "BSP not found (UUID, registry entry, \"path\" value or module file)"},
        {AMBER_E_NO_SECRET_KEY, "no secret key set for the application, or it cannot be read"},
        {2056u | AMBER_ERROR_FLAG, AMBER_UNKNOWN_RESULT_TEXT}, /* there is no 2056 */
        {AMBER_ERROR_FLAG, AMBER_UNKNOWN_RESULT_TEXT},
        {AMBER_E_BSP_NOT_FOUND + 1u, AMBER_UNKNOWN_RESULT_TEXT},
        {0xFFFFFFFFu, AMBER_UNKNOWN_RESULT_TEXT},
    };
    size_t i;
    for (i = 0; i < sizeof meanings / sizeof meanings[0]; ++i) {
      const char *text = AmberResultText(meanings[i].code);
      if (text == NULL || strcmp(text, meanings[i].text) != 0) {
        printf("FAILED AmberResultText(0x%x): \"%s\", expected \"%s\"\n", (unsigned)meanings[i].code,
               text ? text : "(null)", meanings[i].text);
        ++failures;
      }
    }
  }

  if (failures != 0) return 1;
  printf("all nineteen exports answered from C\n");
  return 0;
}
