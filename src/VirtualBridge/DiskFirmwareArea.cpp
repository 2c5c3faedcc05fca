#include "VirtualBridge/DiskFirmwareArea.h"

namespace v62x::sim {
namespace {

constexpr std::uint64_t kMinimumReserve = 2048;
constexpr std::uint64_t kAreaAlignment = 256;
constexpr std::uint32_t kFreshAreaOffset = 0x101;
constexpr std::size_t kSignatureAt = 150;

}  // namespace

void SetStatusByte(BridgeAnswers& answers, std::size_t index, std::uint8_t value) {
    if (answers.statusRecord.size() <= index) answers.statusRecord.resize(index + 1, 0);
    answers.statusRecord[index] = value;
}

void SetFirmwareAreaMark(BridgeAnswers& answers, bool present) {
    SetStatusByte(answers, status_byte::kFirmwareArea, present ? 1 : 0);
    if (present) answers.memory.push_back({bridge_memory::kSignature, {0x55, 0xAA}});
}

std::uint64_t DefaultReservedBlocks(std::uint64_t sectors) {
    if (sectors < 2 * kMinimumReserve) return 0;
    const std::uint64_t host = (sectors - kMinimumReserve) / kAreaAlignment * kAreaAlignment;
    return sectors - host;
}

DiskPreset FirmwareAreaSignature(const DiskConfig& disk) {
    const std::uint64_t host = disk.sectors - disk.reservedBlocks;
    const auto lba = static_cast<std::uint32_t>(host + kFreshAreaOffset);
    DiskPreset preset;
    preset.lba = host;
    preset.bytes.assign(kSignatureAt + 6, 0);
    preset.bytes[kSignatureAt] = 0x55;
    for (std::size_t i = 0; i < 4; ++i) {
        preset.bytes[kSignatureAt + 1 + i] = static_cast<std::uint8_t>(lba >> (24 - 8 * i));
    }
    preset.bytes[kSignatureAt + 5] = 0xAA;
    return preset;
}

}  // namespace v62x::sim
