// What a USB disk enclosure answers for the host's own storage stack
// (usb-storage, sd, sr) where the simulated devices have no answer: MODE
// SENSE (6) and (10), REQUEST SENSE, SYNCHRONIZE CACHE (10) and (16),
// PREVENT ALLOW MEDIUM REMOVAL and START STOP UNIT. Without them the kernel
// attaches the disk badly or not at all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "IDEAccess/Host.h"

namespace v62x::usb {

// The sense data REQUEST SENSE reports: that of the last command, which is
// "no sense" unless it failed.
struct Sense {
    std::uint8_t key = scsi::kSenseNoSense;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    bool operator==(const Sense&) const = default;
};

// Fixed-format sense data (response code 0x70).
constexpr std::uint32_t kSenseBytes = 18;

// The answer to `cdb` when it is one of the commands above, in the form the
// simulated devices reply in (data moved into `data`, at most `length`
// bytes); nullopt for every other command. REQUEST SENSE reports `last`.
std::optional<HostReply> AnswerHostStackCommand(std::span<const std::uint8_t> cdb,
                                                DataDirection direction, std::uint8_t* data,
                                                std::uint32_t length, const Sense& last);

}  // namespace v62x::usb
