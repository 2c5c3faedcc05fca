// The replies a simulated device gives, in one place for every command path.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "IDEAccess/Host.h"

namespace v62x::sim {

// The command completed with GOOD status after moving `transferred` bytes.
inline HostReply Good(std::uint32_t transferred) {
    HostReply reply;
    reply.opened = true;
    reply.completed = true;
    reply.scsiStatus = scsi::kGood;
    reply.transferred = transferred;
    return reply;
}

// The command ended with CHECK CONDITION and this sense data; nothing moved.
inline HostReply CheckCondition(std::uint8_t senseKey, std::uint8_t asc, std::uint8_t ascq = 0) {
    HostReply reply;
    reply.opened = true;
    reply.completed = true;
    reply.scsiStatus = scsi::kCheckCondition;
    reply.senseValid = true;
    reply.senseKey = senseKey;
    reply.asc = asc;
    reply.ascq = ascq;
    return reply;
}

inline HostReply InvalidOpcode() { return CheckCondition(scsi::kSenseIllegalRequest, 0x20); }
inline HostReply InvalidField() { return CheckCondition(scsi::kSenseIllegalRequest, 0x24); }

// The data phase does not fit the command: a data phase against the
// command's direction, or less room than the device moves. The storage
// transport gives up on the request and the driver reports an I/O error.
inline HostReply PhaseError() {
    HostReply reply;
    reply.opened = true;
    reply.completed = false;
    reply.hostError = EIO;
    return reply;
}

// Sends up to `available` bytes of `answer`, an answer of fixed or
// allocation-bound length: the host gets what fits its buffer; a data phase
// offered the other way fails as above.
inline HostReply SendAnswer(const std::uint8_t* answer, std::size_t available, DataDirection direction,
                            std::uint8_t* data, std::uint32_t length) {
    if (direction == DataDirection::Out && length > 0) return PhaseError();
    const std::size_t n = std::min<std::size_t>(available, length);
    if (n > 0) std::memcpy(data, answer, n);
    return Good(static_cast<std::uint32_t>(n));
}

}  // namespace v62x::sim
