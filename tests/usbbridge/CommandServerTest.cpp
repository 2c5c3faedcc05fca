// Serving command blocks on simulated devices: status, residue and sense as
// usb-storage reads them, the data phases, and a bridge that restarts or
// leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VirtualBridge/SimulatedHost.h"
#include "cli/HostChoice.h"
#include "support/CommandBlocks.h"
#include "usbbridge/CommandServer.h"

namespace v62x::usb {
namespace {

using test::Block;
using test::Bytes;
using test::Pattern;

constexpr Sense kNoSense{};
constexpr Sense kHardwareError{0x04, 0x44, 0x00};
constexpr Sense kInvalidOpcode{scsi::kSenseIllegalRequest, 0x20, 0x00};
constexpr Sense kInvalidField{scsi::kSenseIllegalRequest, 0x24, 0x00};
constexpr Sense kNoMedium{scsi::kSenseNotReady, 0x3A, 0x00};

const Bytes kRestart = {0xFF, 0x04, 0x26, 0x56, 0x52, 0, 0, 0, 0, 0, 0, 0};
const Bytes kStatusRecord = {0xFF, 0x04, 0xA0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0};


struct Step {
    CommandBlock block;
    Bytes dataOut;
    CommandStatus status = CommandStatus::Passed;
    std::uint32_t residue = 0;
    Sense sense;
    Bytes dataHead;  // the first bytes of the data-in phase
    bool restart = false;
    bool gone = false;
};

struct Case {
    const char* name;
    const char* description;
    std::vector<Step> steps;
};

TEST(CommandServer, ServesCommandBlocks) {
    const Case cases[] = {
        {"a disk-class bridge", "bridge:kind=8",
         {{.block = Block(36, true, test::Inquiry(36)), .dataHead = {0x00, 0x00}},
          // Asked for more than the answer: the residue tells, IN is halted.
          {.block = Block(64, true, test::Inquiry(36)), .residue = 28, .dataHead = {0x00}},
          {.block = Block(32, true, kStatusRecord)}}},
        {"a CD-ROM-class bridge without medium", "bridge:kind=12,class=cdrom",
         {{.block = Block(36, true, test::Inquiry(36)), .dataHead = {0x05, 0x80}},
          {.block = Block(8, true, test::ReadCapacity10()), .status = CommandStatus::Failed,
           .residue = 8, .sense = kNoMedium},
          // The sense of the failed command, then none.
          {.block = Block(18, true, test::RequestSense(18)),
           .dataHead = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x00}},
          {.block = Block(18, true, test::RequestSense(18)), .dataHead = {0x70, 0, 0x00}}}},
        {"an ordinary disk", "disk",
         {{.block = Block(32, true, kStatusRecord), .status = CommandStatus::Failed, .residue = 32,
           .sense = kInvalidOpcode},
          {.block = Block(512, false, test::Write10(3, 1)), .dataOut = Pattern(512)},
          {.block = Block(512, true, test::Read10(3, 1)), .dataHead = Pattern(512)},
          // A data phase against the command's direction fails inside the enclosure.
          {.block = Block(512, false, test::Read10(3, 1)), .dataOut = Pattern(512),
           .status = CommandStatus::Failed, .residue = 512, .sense = kHardwareError},
          // Longer than any the device takes: refused before a buffer is made.
          {.block = Block(kMaxDataBytes + 1, true, test::Read10(0, 2049)),
           .status = CommandStatus::Failed, .residue = kMaxDataBytes + 1, .sense = kInvalidField},
          {.block = Block(0, false, {0x00, 0, 0, 0, 0, 0})}}},
        {"a bridge that restarts", "bridge:kind=8",
         {{.block = Block(0, false, kRestart), .restart = true},
          {.block = Block(36, true, test::Inquiry(36)), .dataHead = {0x00}}}},
        {"a bridge whose cable is pulled", "bridge:kind=8,fault=cut@2",
         {{.block = Block(36, true, test::Inquiry(36))},
          {.block = Block(36, true, test::Inquiry(36)), .status = CommandStatus::Failed, .residue = 36,
           .sense = kHardwareError, .gone = true}}},
    };
    for (const Case& c : cases) {
        HostChoice choice = ChooseHost(c.description);
        auto* host = dynamic_cast<sim::SimulatedHost*>(choice.host.get());
        ASSERT_NE(nullptr, host) << c.name << ": " << choice.error;
        CommandServer server(*host, host->Devices().front()->path());
        std::size_t n = 0;
        for (const Step& step : c.steps) {
            const std::string where = std::string(c.name) + ", step " + std::to_string(++n);
            const ServedCommand served = server.Serve(step.block, step.dataOut, 0);
            EXPECT_EQ(step.status, served.status) << where;
            EXPECT_EQ(step.residue, served.residue) << where;
            EXPECT_EQ(step.sense, served.sense) << where;
            EXPECT_EQ(step.restart, served.restart) << where;
            EXPECT_EQ(step.gone, served.gone) << where;
            const std::uint32_t length = step.block.dataLength;
            if (step.block.dataIn) {
                EXPECT_EQ(length - step.residue, served.dataIn.size()) << where;
                EXPECT_EQ(step.residue > 0, served.haltIn) << where;
                ASSERT_GE(served.dataIn.size(), step.dataHead.size()) << where;
                EXPECT_EQ(step.dataHead, Bytes(served.dataIn.begin(),
                                               served.dataIn.begin() + static_cast<long>(step.dataHead.size())))
                    << where;
            } else {
                EXPECT_TRUE(served.dataIn.empty()) << where;
                EXPECT_FALSE(served.haltIn) << where;
            }
            const auto wrapper = PackStatus(step.block.tag, step.residue, step.status);
            EXPECT_EQ(wrapper, served.wrapper) << where;
        }
    }
}

TEST(CommandServer, SimulatedTimeFollowsTheGivenRealTime) {
    HostChoice choice = ChooseHost("bridge:kind=8");
    auto* host = dynamic_cast<sim::SimulatedHost*>(choice.host.get());
    ASSERT_NE(nullptr, host);
    CommandServer server(*host, host->Devices().front()->path());
    server.Serve(Block(0, false, {0x00, 0, 0, 0, 0, 0}), {}, 5'000'000);
    EXPECT_GE(host->NowMs(), 5000u);
    EXPECT_LT(host->NowMs(), 5010u) << "only the command's own cost on top";
    server.Serve(Block(0, false, {0x00, 0, 0, 0, 0, 0}), {}, 1'000'000);
    EXPECT_GE(host->NowMs(), 5000u) << "the simulated clock never goes back";
}

}  // namespace
}  // namespace v62x::usb
