#include "IDEAccess/LinuxSgIo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace v62x {
namespace {

// Host adapter and driver codes of the sg interface (the kernel headers
// that name them are not exported to user space).
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDriverOk = 0x00;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;
constexpr unsigned kDriverStatusMask = 0x0F;

// Sense data response codes (byte 0, without the VALID bit).
constexpr std::uint8_t kFixedCurrent = 0x70;
constexpr std::uint8_t kFixedDeferred = 0x71;
constexpr std::uint8_t kDescriptorCurrent = 0x72;
constexpr std::uint8_t kDescriptorDeferred = 0x73;

// Sense key, ASC and ASCQ from the bytes the device actually wrote; a field
// beyond `length` is left at zero.
void DecodeSense(const std::uint8_t* sense, std::size_t length, HostReply& reply) {
    if (sense == nullptr || length == 0) {
        return;
    }
    const std::uint8_t responseCode = sense[0] & 0x7F;
    if (responseCode == kFixedCurrent || responseCode == kFixedDeferred) {
        if (length > 2) {
            reply.senseKey = sense[2] & 0x0F;
            reply.senseValid = true;
        }
        if (length > 12) reply.asc = sense[12];
        if (length > 13) reply.ascq = sense[13];
    } else if (responseCode == kDescriptorCurrent || responseCode == kDescriptorDeferred) {
        if (length > 1) {
            reply.senseKey = sense[1] & 0x0F;
            reply.senseValid = true;
        }
        if (length > 2) reply.asc = sense[2];
        if (length > 3) reply.ascq = sense[3];
    }
}

}  // namespace

void PackSgIo(const HostRequest& request, std::uint8_t* sense, sg_io_hdr_t& hdr) {
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    if (request.length == 0) {
        hdr.dxfer_direction = SG_DXFER_NONE;
        hdr.dxferp = nullptr;
    } else {
        hdr.dxfer_direction =
            request.direction == DataDirection::In ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
        hdr.dxferp = request.data;
    }
    hdr.dxfer_len = request.length;
    // The kernel reads cmd_len bytes from cmdp: never more than the CDB array.
    hdr.cmd_len =
        static_cast<unsigned char>(std::min<std::size_t>(request.cdbLength, request.cdb.size()));
    hdr.cmdp = const_cast<unsigned char*>(request.cdb.data());
    hdr.mx_sb_len = static_cast<unsigned char>(kSenseBufferLength);
    hdr.sbp = sense;
    constexpr std::uint32_t kMaxSeconds = std::numeric_limits<unsigned int>::max() / 1000;
    hdr.timeout = std::min(request.timeoutSeconds, kMaxSeconds) * 1000;
}

HostReply MapSgIoResult(const sg_io_hdr_t& hdr, const std::uint8_t* sense, int ioctlResult,
                        int ioctlErrno) {
    HostReply reply;
    reply.opened = true;
    if (ioctlResult < 0) {
        reply.completed = false;
        reply.hostError = ioctlErrno;
        return reply;
    }

    const unsigned driver = hdr.driver_status & kDriverStatusMask;
    if (hdr.host_status != 0 || (driver != kDriverOk && driver != kDriverSense)) {
        reply.completed = false;
        if (hdr.host_status == kDidTimeOut || driver == kDriverTimeout) {
            reply.hostError = ETIMEDOUT;
        } else if (hdr.host_status == kDidNoConnect) {
            reply.hostError = ENODEV;
        } else {
            reply.hostError = EIO;
        }
    } else {
        reply.completed = true;
    }

    reply.scsiStatus = hdr.status;
    if (hdr.status == scsi::kCheckCondition || hdr.sb_len_wr > 0) {
        DecodeSense(sense, std::min<std::size_t>(hdr.sb_len_wr, kSenseBufferLength), reply);
    }

    const long long moved = static_cast<long long>(hdr.dxfer_len) - hdr.resid;
    reply.transferred = static_cast<std::uint32_t>(
        std::clamp<long long>(moved, 0, static_cast<long long>(hdr.dxfer_len)));
    return reply;
}

std::uint32_t ParseMaxTransferKb(const std::string& text) {
    constexpr std::uint32_t kLargestKb = 16 * 1024;
    std::uint32_t kb = 0;
    std::size_t at = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        kb = kb * 10 + static_cast<std::uint32_t>(text[at] - '0');
        if (kb > kLargestKb) return 0;
    }
    while (at < text.size() && (text[at] == '\n' || text[at] == ' ')) ++at;
    if (at != text.size() || kb == 0) return 0;
    return kb * 1024;
}

}  // namespace v62x
