// Sequences of the nineteen exports against one store, for the three
// applications: each step is an export with its arguments, the
// administration side turning to another application, the clock moving on,
// or the host restarting as one of the applications. An input starts from
// the provisioned store (settings put back, lockout records and pending
// outcomes reset, clock at its epoch, host attached), so its result does not
// depend on the inputs before it. What stays between inputs is what the
// library keeps for a process (kept registry answers, derived keys), which
// must never change a result.
#include "fuzz/fuzz_store.h"
#include "fuzz/fuzz_target.h"
#include "frame/entry.h"

namespace {

constexpr int kMaxSteps = 48;
const char *const kHosts[] = {"/opt/fuzz/FuzzHost", "/opt/fuzz/Kiosk", "/opt/fuzz/Stranger"};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  ambercrypt::fuzz::SetUpStore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace ambercrypt::fuzz;
  SetUpStore();
  ResetHostState();
  FuzzInput in(data, size);
  bool moved = false;
  for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
    uint32_t op = in.Below(22);
    if (op < 19) {
      CheckCode(static_cast<int>(op) + 1, CallExport(static_cast<int>(op) + 1, in));
    } else if (op == 19) {
      OwnedText name = ReadApplication(in);
      if (!name.null) AddressApplication(name.get());
    } else if (op == 20) {
      SetClock(Clock() + static_cast<uint64_t>(in.Int<uint16_t>()) * 600000000ull);  // minutes
    } else {
      ambercrypt::ProcessAttach(nullptr, kHosts[in.Below(3)]);
      moved = true;
    }
  }
  Reprovision();
  if (moved) ambercrypt::ProcessAttach(nullptr, kHosts[0]);
  return 0;
}
