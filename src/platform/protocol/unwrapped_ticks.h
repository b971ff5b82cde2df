// A millisecond count that wraps (GetTickCount's, every 49 days; Windows
// XP has no 64-bit one) made one that does not, for a caller that reads it
// at least once in each round.
#ifndef KAVRO_PLATFORM_PROTOCOL_UNWRAPPED_TICKS_H_
#define KAVRO_PLATFORM_PROTOCOL_UNWRAPPED_TICKS_H_

#include <cstdint>

namespace profile {

class UnwrappedTicks final {
 public:
  uint64_t Of(uint32_t ticks) {
    if (ticks < last_) rounds_ += uint64_t{1} << 32;
    last_ = ticks;
    return rounds_ + ticks;
  }

 private:
  uint32_t last_ = 0;
  uint64_t rounds_ = 0;
};

}  // namespace profile

#endif  // KAVRO_PLATFORM_PROTOCOL_UNWRAPPED_TICKS_H_
