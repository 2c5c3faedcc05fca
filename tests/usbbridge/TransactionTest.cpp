// Bulk-Only transactions against a scripted host: what the device reads,
// sends and halts, in order.
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <string>
#include <vector>

#include "VirtualBridge/SimulatedHost.h"
#include "cli/HostChoice.h"
#include "support/CommandBlocks.h"
#include "usbbridge/Transaction.h"

namespace v62x::usb {
namespace {

using test::Bytes;
using test::Pattern;
using test::CbwBytes;

// The host's side of the bulk pipes: its OUT transfers in order, and a log
// of the device's sends and halts.
class ScriptedHost : public BulkEndpoints {
public:
    std::deque<Bytes> transfers;
    std::vector<std::string> log;
    Bytes received;  // everything the device sent

    long Receive(std::span<std::uint8_t> buffer) override {
        if (transfers.empty()) return -EINTR;  // nothing comes: as if interrupted
        Bytes& front = transfers.front();
        const std::size_t n = std::min(buffer.size(), front.size());
        std::copy_n(front.begin(), n, buffer.begin());
        front.erase(front.begin(), front.begin() + static_cast<long>(n));
        if (front.empty()) transfers.pop_front();
        return static_cast<long>(n);
    }
    long Send(std::span<const std::uint8_t> bytes) override {
        log.push_back("in " + std::to_string(bytes.size()));
        received.insert(received.end(), bytes.begin(), bytes.end());
        return static_cast<long>(bytes.size());
    }
    void HaltIn() override { log.push_back("halt in"); }
    void HaltOut() override { log.push_back("halt out"); }
};


Bytes Status(std::uint32_t tag, std::uint32_t residue, CommandStatus status) {
    const auto packed = PackStatus(tag, residue, status);
    return Bytes(packed.begin(), packed.end());
}

TEST(Transaction, MovesTheDataPhasesAndTheStatusInOrder) {
    constexpr std::uint32_t kBig = 80 * 512;  // more than one chunk
    constexpr std::uint32_t kTooBig = kMaxDataBytes + 512;
    struct Case {
        const char* name;
        std::vector<Bytes> hostSends;
        Transaction::End end;
        std::vector<std::string> log;
        Bytes received;      // what the device sent; empty: not checked
        Bytes nextReceived;  // what it sent in the next transaction, if the host began one
    };
    Bytes readBack = Pattern(kBig);
    const Bytes readStatus = Status(4, 0, CommandStatus::Passed);
    readBack.insert(readBack.end(), readStatus.begin(), readStatus.end());
    const Case cases[] = {
        {"inquiry", {CbwBytes(1, 36, true, test::Inquiry(36))}, Transaction::End::Served,
         {"in 36", "in 13"}},
        {"a short data-in phase halts IN before the status",
         {CbwBytes(2, 192, true, test::ModeSense6(0x3F, 192))}, Transaction::End::Served,
         {"in 24", "halt in", "in 13"}},
        {"a write of several chunks, then its read",
         {CbwBytes(3, kBig, false, test::Write10(8, 80)), Pattern(kBig),
          CbwBytes(4, kBig, true, test::Read10(8, 80))},
         Transaction::End::Served, {"in 13"}, Status(3, 0, CommandStatus::Passed), readBack},
        {"an oversized data-out phase is read to its end and refused",
         {CbwBytes(5, kTooBig, false, test::Write10(0, 2049)), Bytes(kTooBig, 0xA5),
          CbwBytes(6, 0, false, {0x00, 0, 0, 0, 0, 0})},
         Transaction::End::Served, {"in 13"},
         Status(5, kTooBig, CommandStatus::Failed), Status(6, 0, CommandStatus::Passed)},
        {"no command block", {Bytes(31, 0)}, Transaction::End::Invalid, {"halt in", "halt out"}},
        {"nothing comes", {}, Transaction::End::Broken, {}},
    };
    for (const Case& c : cases) {
        HostChoice choice = ChooseHost("disk");
        auto* host = dynamic_cast<sim::SimulatedHost*>(choice.host.get());
        ASSERT_NE(nullptr, host);
        CommandServer server(*host, host->Devices().front()->path());
        const ServeFunction serve = [&server](const CommandBlock& block, std::span<const std::uint8_t> out) {
            return server.Serve(block, out, 0);
        };
        ScriptedHost scripted;
        scripted.transfers.assign(c.hostSends.begin(), c.hostSends.end());
        const Transaction t = RunTransaction(scripted, serve);
        EXPECT_EQ(c.end, t.end) << c.name;
        EXPECT_EQ(c.log, scripted.log) << c.name;
        if (!c.received.empty()) {
            EXPECT_EQ(c.received, scripted.received) << c.name;
        }
        if (c.end == Transaction::End::Broken) {
            EXPECT_EQ(EINTR, t.error) << c.name;
        }
        // Whatever the host sent after the first transaction is the next one's.
        if (!scripted.transfers.empty()) {
            scripted.received.clear();
            EXPECT_EQ(Transaction::End::Served, RunTransaction(scripted, serve).end) << c.name;
            EXPECT_TRUE(scripted.transfers.empty()) << c.name;
            EXPECT_EQ(c.nextReceived, scripted.received) << c.name;
        }
    }
}

}  // namespace
}  // namespace v62x::usb
