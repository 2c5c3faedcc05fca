#include "usbbridge/CommandServer.h"

#include <algorithm>
#include <utility>

#include "VirtualBridge/DeviceReplies.h"
#include "VirtualBridge/SimulatedHost.h"

namespace v62x::usb {
namespace {

constexpr std::uint8_t kSenseHardwareError = 0x04;
constexpr std::uint8_t kAscInternalTargetFailure = 0x44;

bool Passed(const HostReply& reply) {
    return reply.opened && reply.completed && reply.scsiStatus == scsi::kGood;
}

// A request the device never completed (it could not be opened, the
// transport gave up, the data phase did not fit) reads as a failure inside
// the enclosure.
Sense SenseOf(const HostReply& reply) {
    if (Passed(reply)) return {};
    if (reply.opened && reply.completed && reply.senseValid) {
        return {reply.senseKey, reply.asc, reply.ascq};
    }
    return {kSenseHardwareError, kAscInternalTargetFailure, 0};
}

}  // namespace

CommandServer::CommandServer(sim::SimulatedHost& host, std::string path)
    : host_(host), path_(std::move(path)) {}

ServedCommand CommandServer::Serve(const CommandBlock& block, std::span<const std::uint8_t> dataOut,
                                   std::uint64_t nowUs) {
    host_.Clock().AdvanceTo(nowUs);
    const std::uint32_t length = block.dataLength;
    HostReply reply;
    std::vector<std::uint8_t> buffer;
    if (length > kMaxDataBytes) {
        reply = sim::InvalidField();
    } else {
        buffer.assign(length, 0);
        if (!block.dataIn) {
            std::copy_n(dataOut.begin(), std::min<std::size_t>(dataOut.size(), length), buffer.begin());
        }
        const DataDirection direction = block.dataIn ? DataDirection::In : DataDirection::Out;
        std::uint8_t* data = length > 0 ? buffer.data() : nullptr;
        const std::span<const std::uint8_t> cdb(block.cdb.data(), block.cdbLength);
        if (std::optional<HostReply> answer = AnswerHostStackCommand(cdb, direction, data, length, last_)) {
            reply = *answer;
        } else {
            HostRequest request;
            request.path = path_;
            request.cdb = block.cdb;
            request.cdbLength = block.cdbLength;
            request.direction = direction;
            request.data = data;
            request.length = length;
            request.timeoutSeconds = 0;  // the host's own time-out runs in real time
            request.open = OpenMode::Shared;
            reply = host_.PassThrough(request);
        }
    }

    ServedCommand served;
    const std::uint32_t moved = reply.completed ? std::min(reply.transferred, length) : 0;
    if (block.dataIn && length > 0) {
        served.dataIn.assign(buffer.begin(), buffer.begin() + moved);
        served.haltIn = moved < length;
    }
    served.status = Passed(reply) ? CommandStatus::Passed : CommandStatus::Failed;
    served.residue = length - moved;
    served.sense = last_ = SenseOf(reply);
    served.wrapper = PackStatus(block.tag, served.residue, served.status);

    // A restart shows as the device leaving and coming back, a pulled cable
    // as leaving only. Commands reach one device, so only its events come.
    bool removed = false;
    bool back = false;
    for (const DeviceEvent& event : host_.DrainDeviceEvents()) {
        if (event.node != path_) continue;
        if (event.kind == DeviceEventKind::Removal) {
            removed = true;
            back = false;
        } else if (removed) {
            back = true;
        }
    }
    served.restart = removed && back;
    served.gone = removed && !back;
    return served;
}

}  // namespace v62x::usb
