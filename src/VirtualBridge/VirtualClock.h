// The simulator's virtual time in microseconds. The simulated host's sleeps
// and the cost of each command advance it; the devices read it to tell how
// long a flash chip stays busy. Nothing ever waits in real time.
#pragma once

#include <cstdint>

namespace v62x::sim {

class VirtualClock {
public:
    std::uint64_t NowUs() const { return nowUs_; }
    std::uint64_t NowMs() const { return nowUs_ / 1000; }
    void Advance(std::uint64_t microseconds) { nowUs_ += microseconds; }
    // Moves the clock to `us` unless it is already past it.
    void AdvanceTo(std::uint64_t us) {
        if (us > nowUs_) nowUs_ = us;
    }

private:
    std::uint64_t nowUs_ = 0;
};

}  // namespace v62x::sim
