// clock.h: "now" for the lockout: the local time as a FILETIME count of
// 100-nanosecond ticks since 1 January 1601, as release times are stored.
// The one place the library asks the time, so tests can set it.
#ifndef AMBERCRYPT_POLICY_CLOCK_H_
#define AMBERCRYPT_POLICY_CLOCK_H_

#include <cstdint>

namespace ambercrypt {

uint64_t LocalFileTimeNow();

// Replaces the clock (null: the machine's local time again). For tests.
using ClockFunction = uint64_t (*)();
void SetClockForTesting(ClockFunction clock);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_POLICY_CLOCK_H_
