// Bulk-Only framing: which command blocks are taken, and the status bytes.
#include <gtest/gtest.h>

#include "usbbridge/BulkOnly.h"
#include "support/CommandBlocks.h"

namespace v62x::usb {
namespace {

using test::Bytes;
using test::CbwBytes;

TEST(BulkOnly, TakesOnlyMeaningfulCommandBlocks) {
    const Bytes good = CbwBytes(1, 36, true, test::Inquiry(36));
    auto with = [&good](std::size_t at, std::uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        bool taken;
    };
    const Case cases[] = {
        {"good", good, true},
        {"short", Bytes(good.begin(), good.end() - 1), false},
        {"a longer packet", [&good] { Bytes b = good; b.push_back(0); return b; }(), false},
        {"empty", {}, false},
        {"bad signature", with(0, 0x54), false},
        {"reserved flag bit", with(12, 0x81), false},
        {"CDB length 0", with(14, 0), false},
        {"CDB length 16", with(14, 16), true},
        {"CDB length 17", with(14, 17), false},
        {"LUN 1", with(13, 1), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.taken, ParseCommandBlock(c.bytes).has_value()) << c.name;
    }

    const auto block = ParseCommandBlock(CbwBytes(0x01020304, 0x00012345, true, test::Inquiry(36)));
    ASSERT_TRUE(block);
    EXPECT_EQ(0x01020304u, block->tag);
    EXPECT_EQ(0x00012345u, block->dataLength);
    EXPECT_TRUE(block->dataIn);
    EXPECT_EQ(6, block->cdbLength);
    EXPECT_EQ(0x12, block->cdb[0]);
    EXPECT_EQ(36, block->cdb[4]);
    EXPECT_EQ(0, block->cdb[6]) << "bytes past the CDB length stay 0";
}

TEST(BulkOnly, PacksTheStatus) {
    struct Case {
        std::uint32_t tag;
        std::uint32_t residue;
        CommandStatus status;
        Bytes bytes;
    };
    const Case cases[] = {
        {0x01020304, 0, CommandStatus::Passed,
         {0x55, 0x53, 0x42, 0x53, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0}},
        {7, 0x00010203, CommandStatus::Failed,
         {0x55, 0x53, 0x42, 0x53, 7, 0, 0, 0, 0x03, 0x02, 0x01, 0x00, 1}},
        {0xFFFFFFFF, 0xFFFFFFFF, CommandStatus::PhaseError,
         {0x55, 0x53, 0x42, 0x53, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2}},
    };
    for (const Case& c : cases) {
        const auto packed = PackStatus(c.tag, c.residue, c.status);
        EXPECT_EQ(c.bytes, Bytes(packed.begin(), packed.end())) << "tag " << c.tag;
    }
}

}  // namespace
}  // namespace v62x::usb
