#include "IDEAccess/ChipCommands.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "support/ScriptedHost.h"
#include "IDEAccess/CommandSession.h"

namespace v62x {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ChipCommandBytes, EveryCommandSendsItsExactCdb) {
    std::uint8_t buffer[64] = {};
    std::uint32_t transferred = 0;
    test::CheckGolden({
        {"VendorModeOn", [&](const std::string& p) { VendorModeOn(p); },
         {0xFF, 0x04, 0x56, 0x52, 0x55, 0, 0, 0, 0, 0, 0, 0}, DataDirection::Out, 0},
        {"VendorModeOff", [&](const std::string& p) { VendorModeOff(p); },
         {0xFF, 0x04, 0x56, 0x52, 0xAA, 0, 0, 0, 0, 0, 0, 0}, DataDirection::Out, 0},
        {"Inquiry 40", [&](const std::string& p) { Inquiry(p, buffer, 40); },
         {0x12, 0, 0, 0, 0x28, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 40},
        {"ReadChipIdWord", [&](const std::string& p) { ReadChipIdWord(p, buffer); },
         {0xDF, 0x10, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xFF}, DataDirection::In, 2},
        {"GetChipInfo 16", [&](const std::string& p) { GetChipInfo(p, buffer, 16, transferred); },
         {0xE0, 0xF4, 0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 16},
        {"ReadChipTag 40", [&](const std::string& p) { ReadChipTag(p, buffer, 40); },
         {0xFF, 0x04, 0x30, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 40},
        {"GetBridgeStatus 18", [&](const std::string& p) { GetBridgeStatus(p, buffer, 18); },
         {0xFF, 0x04, 0xA0, 0x12, 0, 0, 0, 0, 0, 0, 0, 0}, DataDirection::In, 18},
        {"ReadBridgeMemory 4 at 0xFDB0", [&](const std::string& p) { ReadBridgeMemory(p, buffer, 0xFDB0, 4); },
         {0xDF, 0x10, 0, 0x00, 0x04, 0, 0xFD, 0xB0, 0, 0, 0, 0xFD}, DataDirection::In, 4},
        {"ReadBridgeMemory 1 at 0x506A", [&](const std::string& p) { ReadBridgeMemory(p, buffer, 0x506A, 1); },
         {0xDF, 0x10, 0, 0x00, 0x01, 0, 0x50, 0x6A, 0, 0, 0, 0xFD}, DataDirection::In, 2},
        {"WriteBridgeMemory 1 at 0x506A", [&](const std::string& p) { WriteBridgeMemory(p, buffer, 0x506A, 1); },
         {0xDF, 0x00, 0, 0x00, 0x01, 0, 0x50, 0x6A, 0, 0, 0, 0xFE}, DataDirection::Out, 2},
        {"ReadBridgeMemory 0x1234 at 0xC000", [&](const std::string& p) { ReadBridgeMemory(p, nullptr, 0xC000, 0); },
         {0xDF, 0x10, 0, 0x00, 0x00, 0, 0xC0, 0x00, 0, 0, 0, 0xFD}, DataDirection::In, 0},
    });
}

TEST(ChipCommandBytes, DirectLayoutPlacesEveryFieldHighByteFirst) {
    EXPECT_EQ((Cdb12{0xDF, 0x83, 0, 0x12, 0x34, 0, 0xAB, 0xCD, 0x01, 0x02, 0x03, 0xFB}),
              DirectCdb(0x83, 0x1234, 0xABCD, 0x010203, 0xFB));
}

TEST(ChipCommands, BridgeStatusReturnsByteEightOnlyWhenTheRequestSucceeds) {
    test::ScriptedHost host;
    CommandSession scoped(host);
    host.dataIn = Bytes(18, 0);
    host.dataIn[8] = 0xD0;
    host.reply.transferred = 18;
    std::uint8_t record[18] = {};
    EXPECT_EQ(0xD0, GetBridgeStatus("/dev/sg1", record, 18));
    host.reply.scsiStatus = scsi::kCheckCondition;
    host.reply.senseKey = scsi::kSenseIllegalRequest;
    EXPECT_EQ(0, GetBridgeStatus("/dev/sg1", record, 18));
}

TEST(ChipCommandsDeathTest, ChipTagShorterThanEightBytesIsAProgrammingFault) {
    test::ScriptedHost host;
    CommandSession scoped(host);
    std::uint8_t tag[8];
    EXPECT_DEATH(ReadChipTag("/dev/sg1", tag, 7), "length >= 0x08");
}

}  // namespace
}  // namespace v62x
