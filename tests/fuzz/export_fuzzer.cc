// One export (AMBERCRYPT_FUZZ_EXPORT, its ordinal) called with arguments made
// from the input, against the provisioned store. Each input starts from the
// same state: the host's lockout record and pending outcomes are reset before
// it, and settings an administration call changed are put back after it.
#include "fuzz/fuzz_store.h"
#include "fuzz/fuzz_target.h"

#ifndef AMBERCRYPT_FUZZ_EXPORT
#error "AMBERCRYPT_FUZZ_EXPORT names the export's ordinal"
#endif

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  ambercrypt::fuzz::SetUpStore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace ambercrypt::fuzz;
  SetUpStore();
  ResetHostState();
  FuzzInput in(data, size);
  CheckCode(AMBERCRYPT_FUZZ_EXPORT, CallExport(AMBERCRYPT_FUZZ_EXPORT, in));
  Reprovision();
  return 0;
}
