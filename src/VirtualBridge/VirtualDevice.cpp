#include "VirtualBridge/DeviceReplies.h"
#include "VirtualBridge/VirtualDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "VirtualBridge/BridgeDiskPaths.h"

namespace v62x::sim {
namespace {

constexpr std::uint8_t kOpTestUnitReady = 0x00;
constexpr std::uint8_t kOpInquiry = 0x12;
constexpr std::uint8_t kOpVendor = 0xFF;
constexpr std::uint8_t kOpBridgeMemory = 0xDF;
constexpr std::uint8_t kOpChipInfo = 0xE0;

constexpr std::size_t kCdbBytes = 16;
using Cdb = std::array<std::uint8_t, kCdbBytes>;

// True when every CDB byte whose index is not in `named` is zero.
bool OthersZero(const Cdb& cdb, std::initializer_list<std::size_t> named) {
    for (std::size_t i = 0; i < kCdbBytes; ++i) {
        if (std::find(named.begin(), named.end(), i) == named.end() && cdb[i] != 0) return false;
    }
    return true;
}

std::uint32_t Word(const Cdb& cdb, std::size_t at) {
    return (static_cast<std::uint32_t>(cdb[at]) << 8) | cdb[at + 1];
}

// A command without data phase; data the host offers or asks for is not moved.
HostReply NoData() { return Good(0); }

void PutText(std::vector<std::uint8_t>& out, std::size_t at, const std::string& text,
             std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        out[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
    }
}

}  // namespace

VirtualDevice::VirtualDevice(DeviceConfig config, VirtualClock* clock)
    : config_(std::move(config)),
      ownClock_(clock == nullptr ? std::make_unique<VirtualClock>() : nullptr),
      clock_(clock != nullptr ? clock : ownClock_.get()) {
    if (config_.disk) disk_.emplace(*config_.disk);
    InitFlash();
    // Power-up is a first start: memory, flash driver and firmware as after a restart.
    RestartBridge();
}

HostReply VirtualDevice::Execute(const std::uint8_t* cdbBytes, std::size_t cdbLength,
                                 DataDirection direction, std::uint8_t* data,
                                 std::uint32_t length) {
    // A request without a buffer has no data phase.
    if (data == nullptr) length = 0;

    Cdb cdb{};
    if (cdbBytes != nullptr) {
        std::copy_n(cdbBytes, std::min(cdbLength, kCdbBytes), cdb.begin());
    } else {
        cdbLength = 0;
    }
    if (cdbLength == 0) return InvalidOpcode();

    const DiskRoute route{disk(), config_.isBridge};
    if (std::optional<HostReply> reply = RunDiskCommand(route, cdb, direction, data, length)) {
        return *reply;
    }

    switch (cdb[0]) {
    case kOpTestUnitReady:
        return NoData();
    case kOpInquiry:
        return Inquiry(cdb.data(), direction, data, length);
    case kOpVendor:
    case kOpBridgeMemory:
    case kOpChipInfo:
        // An ordinary disk knows none of the bridge's vendor commands.
        if (!config_.isBridge) return InvalidOpcode();
        return BridgeCommand(cdb.data(), direction, data, length);
    default:
        return InvalidOpcode();
    }
}

HostReply VirtualDevice::Inquiry(const std::uint8_t* cdbBytes, DataDirection direction,
                                 std::uint8_t* data, std::uint32_t length) const {
    Cdb cdb{};
    std::copy_n(cdbBytes, kCdbBytes, cdb.begin());
    // Vital product data pages are not offered; a page code without EVPD is invalid too.
    if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) return InvalidField();

    const bool carriesTag = config_.isBridge && config_.answers.inquiryTag.has_value();
    std::vector<std::uint8_t> answer(carriesTag ? 40 : 36, 0);
    const bool cdrom = config_.cls == DeviceClass::CdRom;
    answer[0] = cdrom ? 0x05 : 0x00;
    answer[1] = cdrom ? 0x80 : 0x00;
    answer[2] = 0x04;
    answer[3] = 0x02;
    answer[4] = static_cast<std::uint8_t>(answer.size() - 5);
    PutText(answer, 8, config_.vendor, 8);
    PutText(answer, 16, config_.product, 16);
    PutText(answer, 32, config_.productRevision, 4);
    if (carriesTag) std::copy(config_.answers.inquiryTag->begin(), config_.answers.inquiryTag->end(),
                              answer.begin() + 36);

    const std::uint32_t allocation = Word(cdb, 3);
    return SendAnswer(answer.data(), std::min<std::size_t>(answer.size(), allocation), direction,
                    data, length);
}

HostReply VirtualDevice::BridgeCommand(const std::uint8_t* cdbBytes, DataDirection direction,
                                       std::uint8_t* data, std::uint32_t length) {
    if (std::optional<HostReply> reply = FlashCommand(cdbBytes, direction, data, length)) {
        return *reply;
    }
    Cdb cdb{};
    std::copy_n(cdbBytes, kCdbBytes, cdb.begin());
    const BridgeAnswers& answers = config_.answers;

    if (cdb[0] == kOpVendor && cdb[1] == 0x04) {
        // FF 04 56 52 55 / FF 04 56 52 AA: vendor mode on / off.
        if (cdb[2] == 0x56 && cdb[3] == 0x52 && OthersZero(cdb, {0, 1, 2, 3, 4})) {
            if (cdb[4] == 0x55) {
                vendorMode_ = true;
                return NoData();
            }
            if (cdb[4] == 0xAA) {
                vendorMode_ = false;
                return NoData();
            }
        }
        // FF 04 30 08: chip tag.
        if (cdb[2] == 0x30 && cdb[3] == 0x08 && OthersZero(cdb, {0, 1, 2, 3})) {
            if (!answers.chipTag) return InvalidOpcode();
            return SendAnswer(answers.chipTag->data(), answers.chipTag->size(), direction, data,
                              length);
        }
        // FF 04 A0, then the number of bytes wanted: bridge status record.
        if (cdb[2] == 0xA0 && OthersZero(cdb, {0, 1, 2, 3})) {
            const std::size_t n = std::min<std::size_t>(cdb[3], status_.size());
            return SendAnswer(status_.data(), n, direction, data, length);
        }
        return InvalidOpcode();
    }

    if (cdb[0] == kOpChipInfo) {
        // E0 F4 E7: chip information record, 12 or 16 bytes as the bridge has it.
        if (cdb[1] == 0xF4 && cdb[2] == 0xE7 && OthersZero(cdb, {0, 1, 2})) {
            if (!answers.chipInfo) return InvalidOpcode();
            const std::size_t n =
                std::min<std::size_t>(answers.chipInfoLength, answers.chipInfo->size());
            return SendAnswer(answers.chipInfo->data(), n, direction, data, length);
        }
        return InvalidOpcode();
    }

    if (cdb[0] == kOpBridgeMemory && OthersZero(cdb, {0, 1, 3, 4, 6, 7, 11})) {
        const std::uint32_t count = Word(cdb, 3);
        const std::uint32_t address = Word(cdb, 6);
        // DF 10 00 00 02 ... FF: chip ID word.
        if (cdb[1] == 0x10 && cdb[11] == 0xFF) {
            if (address != 0) return InvalidField();
            const std::size_t n = std::min<std::size_t>(count, answers.chipIdWord.size());
            return SendAnswer(answers.chipIdWord.data(), n, direction, data, length);
        }
        const bool read = cdb[1] == 0x10 && cdb[11] == 0xFD;
        const bool write = cdb[1] == 0x00 && cdb[11] == 0xFE;
        if (!read && !write) return InvalidOpcode();
        if (address + count > bridge_memory::kSize) return InvalidField();
        const std::uint32_t scratch = bridge_memory::kScratch;
        const bool coversScratch = address <= scratch && scratch < address + count;
        if (read) {
            std::vector<std::uint8_t> bytes(memory_.begin() + address,
                                            memory_.begin() + address + count);
            if (config_.stuck506A && coversScratch) bytes[scratch - address] |= 0x01;
            return SendAnswer(bytes.data(), bytes.size(), direction, data, length);
        }
        if (direction == DataDirection::In && length > 0) return PhaseError();
        const std::uint32_t n = std::min(count, length);
        if (n > 0) std::memcpy(memory_.data() + address, data, n);
        if (config_.stuck506A) memory_[scratch] |= 0x01;
        return Good(n);
    }

    return InvalidOpcode();
}

}  // namespace v62x::sim
