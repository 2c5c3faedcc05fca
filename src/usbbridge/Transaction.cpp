#include "usbbridge/Transaction.h"

#include <algorithm>
#include <array>
#include <vector>

namespace v62x::usb {
namespace {

// Receives `total` bytes in chunks into `into` (null: read and dropped).
// Stops early when the host's transfer ends short. 0, or the -errno.
long ReceiveAll(BulkEndpoints& endpoints, std::uint8_t* into, std::uint32_t total) {
    std::vector<std::uint8_t> scratch(into == nullptr ? kTransferChunkBytes : 0);
    std::uint32_t done = 0;
    while (done < total) {
        const std::uint32_t want = std::min(total - done, kTransferChunkBytes);
        std::uint8_t* at = into != nullptr ? into + done : scratch.data();
        const long got = endpoints.Receive(std::span<std::uint8_t>(at, want));
        if (got < 0) return got;
        done += static_cast<std::uint32_t>(std::min<long>(got, want));
        if (got < static_cast<long>(want)) break;
    }
    return 0;
}

long SendAll(BulkEndpoints& endpoints, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t n = std::min<std::size_t>(bytes.size() - done, kTransferChunkBytes);
        const long sent = endpoints.Send(bytes.subspan(done, n));
        if (sent < 0) return sent;
        if (sent == 0) return 0;  // nothing more goes: the status follows
        done += static_cast<std::size_t>(sent);
    }
    return 0;
}

}  // namespace

Transaction RunTransaction(BulkEndpoints& endpoints, const ServeFunction& serve) {
    Transaction t;
    auto broken = [&t](long error) {
        t.end = Transaction::End::Broken;
        t.error = static_cast<int>(-error);
        return t;
    };

    std::array<std::uint8_t, kCommandPacketBytes> packet{};
    const long got = endpoints.Receive(packet);
    if (got < 0) return broken(got);
    t.block = ParseCommandBlock(std::span<const std::uint8_t>(
        packet.data(), static_cast<std::size_t>(std::min<long>(got, kCommandPacketBytes))));
    if (!t.block) {
        // Not a command block the device can act on: both endpoints stall
        // until the host's reset recovery.
        endpoints.HaltIn();
        endpoints.HaltOut();
        t.end = Transaction::End::Invalid;
        return t;
    }
    const CommandBlock& block = *t.block;

    // The host sends the whole data-out phase it announced, whatever the
    // command makes of it: all of it is read before the status.
    std::vector<std::uint8_t> dataOut;
    if (!block.dataIn && block.dataLength > 0) {
        const bool kept = block.dataLength <= kMaxDataBytes;
        if (kept) dataOut.resize(block.dataLength);
        if (const long error = ReceiveAll(endpoints, kept ? dataOut.data() : nullptr, block.dataLength);
            error < 0) {
            return broken(error);
        }
    }

    t.served = serve(block, dataOut);
    const ServedCommand& served = *t.served;
    if (block.dataIn && block.dataLength > 0) {
        if (const long error = SendAll(endpoints, served.dataIn); error < 0) return broken(error);
        if (served.haltIn) endpoints.HaltIn();
    }
    if (const long error = SendAll(endpoints, served.wrapper); error < 0) return broken(error);
    return t;
}

}  // namespace v62x::usb
