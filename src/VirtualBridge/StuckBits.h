// Stuck bits, a fault of a flash array: bits that read one value from the
// moment they are added, whatever is programmed or erased afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace v62x::sim {

class StuckBits {
public:
    // Bit `bit` of the byte at `address` of `contents` reads `value` from now
    // on; an address outside the array or a bit outside the byte is ignored.
    void Add(std::vector<std::uint8_t>& contents, std::uint32_t address, int bit, bool value) {
        if (address >= contents.size() || bit < 0 || bit > 7) return;
        auto& [ones, zeros] = forced_[address];
        const auto mask = static_cast<std::uint8_t>(1U << bit);
        if (value) {
            ones |= mask;
            zeros &= static_cast<std::uint8_t>(~mask);
        } else {
            zeros |= mask;
            ones &= static_cast<std::uint8_t>(~mask);
        }
        Apply(contents, address);
    }

    // Forces the stuck bits of the byte at `address`, after it changed.
    void Apply(std::vector<std::uint8_t>& contents, std::uint32_t address) const {
        const auto found = forced_.find(address);
        if (found != forced_.end()) Force(contents[address], found->second);
    }

    // Forces the stuck bits of the `size` bytes from `base`, after an erase.
    void ApplyWithin(std::vector<std::uint8_t>& contents, std::uint32_t base, std::uint32_t size) const {
        for (const auto& [address, bits] : forced_) {
            if (address >= base && address < base + size) Force(contents[address], bits);
        }
    }

private:
    // address -> (bits forced to 1, bits forced to 0)
    std::map<std::uint32_t, std::pair<std::uint8_t, std::uint8_t>> forced_;

    static void Force(std::uint8_t& cell, const std::pair<std::uint8_t, std::uint8_t>& bits) {
        cell = static_cast<std::uint8_t>((cell | bits.first) & ~bits.second);
    }
};

}  // namespace v62x::sim
