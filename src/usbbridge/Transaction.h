// One Bulk-Only transaction on the function's bulk endpoints: the command
// block, the data phase the host announced, the status. The endpoints are
// FunctionFS files when serving (FunctionFs.h) and scripted in the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "usbbridge/BulkOnly.h"
#include "usbbridge/CommandServer.h"

namespace v62x::usb {

class BulkEndpoints {
public:
    virtual ~BulkEndpoints() = default;
    // One transfer from the host into `buffer`: the bytes it brought (fewer
    // than asked when the host's transfer ended there), or -errno.
    virtual long Receive(std::span<std::uint8_t> buffer) = 0;
    // One transfer of `bytes` to the host: the bytes sent, or -errno.
    virtual long Send(std::span<const std::uint8_t> bytes) = 0;
    // Halt (stall) an endpoint until the host clears it.
    virtual void HaltIn() = 0;
    virtual void HaltOut() = 0;
};

// The bytes one Receive or Send moves at most (the kernel's own mass
// storage function uses buffers of this size).
constexpr std::uint32_t kTransferChunkBytes = 16 * 1024;
// A command block arrives in one packet of up to this size (high speed).
constexpr std::uint32_t kCommandPacketBytes = 512;

struct Transaction {
    enum class End {
        Served,   // status sent
        Invalid,  // no valid command block: both endpoints halted, no status
        Broken,   // a transfer failed with `error` (interrupted, endpoint disabled)
    };
    End end = End::Served;
    int error = 0;
    std::optional<CommandBlock> block;
    // Set once the command ran, even when a later transfer broke: its
    // restart or departure happened on the device all the same.
    std::optional<ServedCommand> served;
};

using ServeFunction =
    std::function<ServedCommand(const CommandBlock&, std::span<const std::uint8_t> dataOut)>;

// Runs one transaction: reads a command block; reads the whole data-out
// phase the block announces (kept up to kMaxDataBytes, the rest read and
// dropped); serves it; sends the data-in phase, halts IN when it ends short,
// and sends the status.
Transaction RunTransaction(BulkEndpoints& endpoints, const ServeFunction& serve);

}  // namespace v62x::usb
