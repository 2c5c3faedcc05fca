#include "IDEAccess/RequestTrace.h"

#include <cstdio>
#include <cstring>

namespace v62x {
namespace {

std::string Hex2(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

const char* SenseKeyName(std::uint8_t key) {
    static const char* const kNames[16] = {
        "NO SENSE",     "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
        "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",  "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
        "EQUAL",        "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED",
    };
    return kNames[key & 0x0F];
}

}  // namespace

std::string FormatRequestTrace(const HostRequest& request, const HostReply& reply, int result) {
    std::string line = request.direction == DataDirection::In ? "IN  " : "OUT ";
    line += request.path;
    line += " cdb=";
    for (std::uint8_t i = 0; i < request.cdbLength; ++i) {
        if (i != 0) line += ' ';
        line += Hex2(request.cdb[i]);
    }
    line += " len=" + std::to_string(request.length);
    line += " xfer=" + std::to_string(reply.transferred);
    line += result != 0 ? " -> ok" : " -> fail";
    if (!reply.opened) {
        line += " open error " + std::to_string(reply.openError) + " (" +
                std::strerror(reply.openError) + ")";
        return line;
    }
    if (!reply.completed) {
        line += " not completed, error " + std::to_string(reply.hostError) + " (" +
                std::strerror(reply.hostError) + ")";
        return line;
    }
    line += " status=" + Hex2(reply.scsiStatus);
    if (reply.scsiStatus == scsi::kCheckCondition) {
        line += " sense key=" + std::to_string(reply.senseKey) + " (" +
                SenseKeyName(reply.senseKey) + ") asc/ascq=" + Hex2(reply.asc) + "/" +
                Hex2(reply.ascq);
    }
    return line;
}

}  // namespace v62x
