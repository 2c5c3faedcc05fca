// An erase or program a flash chip is still busy with, and what a loss of
// power leaves of it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace v62x::sim {

// The unit an erase or program works on, as it was before the operation
// (the chip's array already holds the finished result).
struct RunningFlashOperation {
    std::uint32_t base = 0;            // first byte of the unit
    std::vector<std::uint8_t> before;  // the unit's bytes before; empty: nothing to undo
    std::uint64_t startUs = 0;
    std::uint64_t endUs = 0;  // when the chip is done
};

// Power is lost at `nowUs`: an operation that had not finished got through
// the front of its unit in proportion to the busy time that had passed; the
// rest keeps its old bytes. Nothing is running afterwards.
inline void LeaveTorn(std::vector<std::uint8_t>& contents, RunningFlashOperation& op,
                      std::uint64_t nowUs) {
    const std::uint64_t size = op.before.size();
    if (size > 0 && nowUs < op.endUs && op.base + size <= contents.size()) {
        const std::uint64_t total = op.endUs - std::min(op.startUs, op.endUs);
        const std::uint64_t elapsed = nowUs > op.startUs ? nowUs - op.startUs : 0;
        const std::uint64_t done = total == 0 ? size : size * elapsed / total;
        std::copy(op.before.begin() + static_cast<std::ptrdiff_t>(done), op.before.end(),
                  contents.begin() + static_cast<std::ptrdiff_t>(op.base + done));
    }
    op = RunningFlashOperation{};
}

}  // namespace v62x::sim
