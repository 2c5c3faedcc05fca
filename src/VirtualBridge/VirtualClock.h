// The simulator's virtual time in microseconds. The simulated host's sleeps
// and the cost of each command advance it; the devices read it to tell how
// long a flash chip stays busy. Nothing waits in real time unless a real-time
// scale is set (the responsiveness benchmark): each virtual microsecond then
// takes `scale` real ones.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace v62x::sim {

class VirtualClock {
public:
    std::uint64_t NowUs() const { return nowUs_; }
    std::uint64_t NowMs() const { return nowUs_ / 1000; }
    void Advance(std::uint64_t microseconds) {
        nowUs_ += microseconds;
        Pass(microseconds);
    }
    // Moves the clock to `us` unless it is already past it.
    void AdvanceTo(std::uint64_t us) {
        if (us > nowUs_) Advance(us - nowUs_);
    }
    // 0: virtual time only (the default); otherwise real time follows.
    void SetRealTimeScale(double scale) { scale_ = scale > 0 ? scale : 0; }

private:
    void Pass(std::uint64_t microseconds) const {
        if (scale_ > 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(static_cast<std::uint64_t>(microseconds * scale_)));
        }
    }

    std::uint64_t nowUs_ = 0;
    double scale_ = 0;
};

}  // namespace v62x::sim
