#include "usbbridge/HostStackCommands.h"

#include <algorithm>
#include <array>
#include <vector>

#include "VirtualBridge/DeviceReplies.h"

namespace v62x::usb {
namespace {

constexpr std::uint8_t kOpRequestSense = 0x03;
constexpr std::uint8_t kOpModeSense6 = 0x1A;
constexpr std::uint8_t kOpStartStopUnit = 0x1B;
constexpr std::uint8_t kOpPreventAllowRemoval = 0x1E;
constexpr std::uint8_t kOpSynchronizeCache10 = 0x35;
constexpr std::uint8_t kOpModeSense10 = 0x5A;
constexpr std::uint8_t kOpSynchronizeCache16 = 0x91;

constexpr std::uint8_t kPageCaching = 0x08;
constexpr std::uint8_t kPageAll = 0x3F;
constexpr std::uint8_t kSubpageAll = 0xFF;
constexpr std::uint8_t kControlSaved = 3;
constexpr std::uint8_t kAscSavingNotSupported = 0x39;

// The caching page: write cache off (every write reaches the simulated
// disk at once), read cache on. Its bits are all 0, and so are its
// changeable values: the current and the changeable answer are the same.
constexpr std::size_t kCachingPageBytes = 20;

// Moves up to `allocation` bytes of `answer` to the host buffer.
HostReply Send(const std::vector<std::uint8_t>& answer, std::size_t allocation,
               DataDirection direction, std::uint8_t* data, std::uint32_t length) {
    return sim::SendAnswer(answer.data(), std::min(answer.size(), allocation), direction, data, length);
}

HostReply ModeSense(const std::array<std::uint8_t, 16>& cdb, DataDirection direction,
                    std::uint8_t* data, std::uint32_t length) {
    const bool ten = cdb[0] == kOpModeSense10;
    const std::uint8_t control = cdb[2] >> 6;
    const std::uint8_t page = cdb[2] & 0x3F;
    const std::uint8_t subpage = cdb[3];
    const bool caching = page == kPageCaching && subpage == 0;
    const bool all = page == kPageAll && (subpage == 0 || subpage == kSubpageAll);
    if (!caching && !all) return sim::InvalidField();
    if (control == kControlSaved) {
        return sim::CheckCondition(scsi::kSenseIllegalRequest, kAscSavingNotSupported);
    }

    // Header: no block descriptors, medium type 0, write protection off.
    const std::size_t header = ten ? 8 : 4;
    std::vector<std::uint8_t> answer(header + kCachingPageBytes, 0);
    answer[header] = kPageCaching;
    answer[header + 1] = kCachingPageBytes - 2;
    const std::size_t dataLength = answer.size() - (ten ? 2 : 1);
    if (ten) {
        answer[0] = static_cast<std::uint8_t>(dataLength >> 8);
        answer[1] = static_cast<std::uint8_t>(dataLength);
    } else {
        answer[0] = static_cast<std::uint8_t>(dataLength);
    }
    const std::size_t allocation = ten ? (static_cast<std::size_t>(cdb[7]) << 8 | cdb[8]) : cdb[4];
    return Send(answer, allocation, direction, data, length);
}

HostReply RequestSense(const std::array<std::uint8_t, 16>& cdb, const Sense& last,
                       DataDirection direction, std::uint8_t* data, std::uint32_t length) {
    std::vector<std::uint8_t> answer(kSenseBytes, 0);
    answer[0] = 0x70;  // current error, fixed format
    answer[2] = last.key;
    answer[7] = kSenseBytes - 8;
    answer[12] = last.asc;
    answer[13] = last.ascq;
    return Send(answer, cdb[4], direction, data, length);
}

}  // namespace

std::optional<HostReply> AnswerHostStackCommand(std::span<const std::uint8_t> cdbBytes,
                                                DataDirection direction, std::uint8_t* data,
                                                std::uint32_t length, const Sense& last) {
    if (cdbBytes.empty()) return std::nullopt;
    if (data == nullptr) length = 0;
    std::array<std::uint8_t, 16> cdb{};
    std::copy_n(cdbBytes.begin(), std::min(cdbBytes.size(), cdb.size()), cdb.begin());
    switch (cdb[0]) {
    case kOpRequestSense:
        return RequestSense(cdb, last, direction, data, length);
    case kOpModeSense6:
    case kOpModeSense10:
        return ModeSense(cdb, direction, data, length);
    case kOpSynchronizeCache10:
    case kOpSynchronizeCache16:
    case kOpPreventAllowRemoval:
    case kOpStartStopUnit:
        // Nothing to flush, lock or spin: the simulated disk is always there.
        return sim::Good(0);
    default:
        return std::nullopt;
    }
}

}  // namespace v62x::usb
