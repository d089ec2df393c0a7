// PKCS#7 signed messages given to CryptVerifyMessageSignature, as the library
// calls it (CCrypt::VerifyMessage, with the signer required to be the named
// "ROOT" certificate) and directly with every output form: no content, a
// size query then a buffer of exactly that size, a buffer of a given size,
// with and without the signer's certificate. The first input byte chooses;
// the rest is the message.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/ccrypt.h"
#include "fuzz/fuzz_store.h"
#include "fuzz/fuzz_target.h"
#include "platform/win32_api.h"

namespace {

using ambercrypt::fuzz::SignerId;

void Check(bool condition, const char *what) {
  if (!condition) {
    fprintf(stderr, "message fuzzer: %s\n", what);
    abort();
  }
}

void VerifyDirectly(uint8_t selector, const std::vector<uint8_t> &message) {
  CRYPT_VERIFY_MESSAGE_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  DWORD index = (selector >> 4) & 1;
  PCCERT_CONTEXT signer = nullptr;
  PCCERT_CONTEXT *signerOut = (selector & 0x20) ? &signer : nullptr;
  const BYTE *blob = message.empty() ? nullptr : message.data();
  DWORD size = static_cast<DWORD>(message.size());
  switch (selector & 3) {
    case 0:
      CryptVerifyMessageSignature(&para, index, blob, size, nullptr, nullptr, signerOut);
      break;
    case 1: {
      DWORD length = 0;
      if (CryptVerifyMessageSignature(&para, index, blob, size, nullptr, &length, signerOut)) {
        if (signer != nullptr) CertFreeCertificateContext(signer);
        signer = nullptr;
        std::vector<BYTE> content(length);
        DWORD exact = length;
        // What verified for the size verifies into a buffer of that size.
        Check(CryptVerifyMessageSignature(&para, index, blob, size, content.empty() ? nullptr : content.data(),
                                          &exact, signerOut) &&
                  exact == length,
              "a message that verified for its size failed into a buffer of that size");
      }
      break;
    }
    default: {
      DWORD capacity = (selector >> 2) & 3 ? static_cast<DWORD>(((selector >> 2) & 3) * 17) : 0;
      std::vector<BYTE> content(capacity);
      DWORD length = capacity;
      CryptVerifyMessageSignature(&para, index, blob, size, content.empty() ? nullptr : content.data(), &length,
                                  signerOut);
      break;
    }
  }
  if (signer != nullptr) CertFreeCertificateContext(signer);
}

void VerifyAsTheLibrary(const std::vector<uint8_t> &message) {
  const IssuerSerial &id = SignerId();
  CERT_ISSUER_SERIAL_NUMBER named;
  named.Issuer.cbData = id.Issuer.cbData;
  named.Issuer.pbData = id.Issuer.pbData;
  named.SerialNumber.cbData = id.SerialNumber.cbData;
  named.SerialNumber.pbData = id.SerialNumber.pbData;
  ambercrypt::CCrypt crypt;
  uint32_t length = 0;
  if (crypt.VerifyMessage(&named, message.empty() ? nullptr : message.data(), static_cast<uint32_t>(message.size()),
                          nullptr, &length) != 0) {
    return;
  }
  std::vector<uint8_t> content(length);
  uint32_t exact = length;
  Check(crypt.VerifyMessage(&named, message.data(), static_cast<uint32_t>(message.size()),
                            content.empty() ? nullptr : content.data(), &exact) == 0 &&
            exact == length,
        "the library's verification failed into a buffer of the size it reported");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  ambercrypt::fuzz::SetUpStore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ambercrypt::fuzz::SetUpStore();
  if (size == 0) return 0;
  // Exactly the message's bytes, so a read past its end is caught.
  std::vector<uint8_t> message(data + 1, data + size);
  VerifyDirectly(data[0], message);
  VerifyAsTheLibrary(message);
  return 0;
}
