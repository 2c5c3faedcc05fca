// The answers for the host's storage stack: MODE SENSE as sd and sr ask for
// it, the commands that only need to pass, and what is left to the device.
#include <gtest/gtest.h>

#include "support/CommandBlocks.h"
#include "usbbridge/HostStackCommands.h"

namespace v62x::usb {
namespace {

using test::Bytes;

TEST(HostStackCommands, ModeSense) {
    struct Case {
        const char* name;
        Bytes cdb;
        std::uint32_t length;
        bool good;
        std::uint32_t transferred;  // good: the answer's length
        Bytes head;                 // and its first bytes; or
        Sense sense;                // the sense of the refusal
    };
    const Bytes header6 = {23, 0, 0x00 /* not write protected */, 0 /* no block descriptors */,
                           0x08, 0x12, 0x00};
    const Bytes header10 = {0, 26, 0, 0x00, 0, 0, 0, 0, 0x08, 0x12};
    const Case cases[] = {
        // sd's write-protect check: page 0x3F with 192 bytes allowed.
        {"(6) all pages", test::ModeSense6(0x3F, 192), 192, true, 24, header6},
        {"(6) cut by allocation", test::ModeSense6(0x3F, 4), 192, true, 4, Bytes(header6.begin(), header6.begin() + 4)},
        {"(6) cut by the transfer length", test::ModeSense6(0x3F, 192), 2, true, 2, {23, 0}},
        {"(6) caching page", test::ModeSense6(0x08, 255), 255, true, 24, header6},
        {"(6) all pages and subpages", {0x1A, 0, 0x3F, 0xFF, 192, 0}, 192, true, 24, header6},
        {"(6) changeable values", test::ModeSense6(0x48, 255), 255, true, 24, header6},
        {"(10) all pages", test::ModeSense10(0x3F, 192), 192, true, 28, header10},
        {"(10) CD capabilities page", test::ModeSense10(0x2A, 128), 128, false, 0, {},
         {scsi::kSenseIllegalRequest, 0x24, 0}},
        {"(6) saved values", test::ModeSense6(0xFF, 192), 192, false, 0, {},
         {scsi::kSenseIllegalRequest, 0x39, 0}},
        {"(6) other subpage", {0x1A, 0, 0x08, 0x01, 192, 0}, 192, false, 0, {},
         {scsi::kSenseIllegalRequest, 0x24, 0}},
    };
    for (const Case& c : cases) {
        Bytes data(c.length, 0xEE);
        const auto reply = AnswerHostStackCommand(c.cdb, DataDirection::In, data.data(), c.length, Sense{});
        ASSERT_TRUE(reply) << c.name;
        EXPECT_TRUE(reply->completed) << c.name;
        if (c.good) {
            EXPECT_EQ(scsi::kGood, reply->scsiStatus) << c.name;
            ASSERT_EQ(c.transferred, reply->transferred) << c.name;
            EXPECT_EQ(c.head, Bytes(data.begin(), data.begin() + static_cast<long>(c.head.size()))) << c.name;
        } else {
            EXPECT_EQ(scsi::kCheckCondition, reply->scsiStatus) << c.name;
            EXPECT_EQ(c.sense, (Sense{reply->senseKey, reply->asc, reply->ascq})) << c.name;
        }
    }
}

TEST(HostStackCommands, PassesWhatNeedsNoAnswerAndLeavesTheRestToTheDevice) {
    const Bytes passing[] = {
        {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // SYNCHRONIZE CACHE (10)
        {0x1E, 0, 0, 0, 1, 0},              // PREVENT ALLOW MEDIUM REMOVAL
        {0x1B, 0, 0, 0, 1, 0},              // START STOP UNIT
    };
    for (const Bytes& cdb : passing) {
        const auto reply = AnswerHostStackCommand(cdb, DataDirection::In, nullptr, 0, Sense{});
        ASSERT_TRUE(reply) << int{cdb[0]};
        EXPECT_EQ(scsi::kGood, reply->scsiStatus);
    }
    for (const Bytes& cdb : {test::Inquiry(36), test::ReadCapacity10(), Bytes{0xFF, 0x04, 0xA0, 0x20}}) {
        Bytes data(36);
        EXPECT_FALSE(AnswerHostStackCommand(cdb, DataDirection::In, data.data(), 36, Sense{})) << int{cdb[0]};
    }
}

}  // namespace
}  // namespace v62x::usb
