// USB mass storage Bulk-Only framing: the 31-byte command block wrapper the
// host sends on the bulk OUT endpoint and the 13-byte command status wrapper
// the device answers with on the bulk IN endpoint. Pure byte work.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace v62x::usb {

constexpr std::size_t kCommandBlockBytes = 31;
constexpr std::size_t kStatusBytes = 13;
constexpr std::uint32_t kCommandBlockSignature = 0x43425355;  // "USBC"
constexpr std::uint32_t kStatusSignature = 0x53425355;        // "USBS"

// One command block as the host sent it.
struct CommandBlock {
    std::uint32_t tag = 0;
    std::uint32_t dataLength = 0;  // bytes of the data phase the host announces
    bool dataIn = false;           // device to host; meaningless when dataLength is 0
    std::uint8_t lun = 0;
    std::uint8_t cdbLength = 0;    // 1..16
    std::array<std::uint8_t, 16> cdb{};
};

// The command block in `bytes`, or nullopt when it is not one the device can
// act on: not exactly 31 bytes, a wrong signature, reserved bits set, a CDB
// length outside 1..16, or a logical unit other than 0 (the only one).
std::optional<CommandBlock> ParseCommandBlock(std::span<const std::uint8_t> bytes);

enum class CommandStatus : std::uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

// The status wrapper for the command with `tag`.
std::array<std::uint8_t, kStatusBytes> PackStatus(std::uint32_t tag, std::uint32_t residue,
                                                  CommandStatus status);

}  // namespace v62x::usb
