// What the function writes to FunctionFS and answers on ep0.
#include <gtest/gtest.h>

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include "support/CommandBlocks.h"
#include "usbbridge/FunctionFs.h"

namespace v62x::usb {
namespace {

using test::Bytes;

std::uint32_t Le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

TEST(FunctionFs, DescriptorBlockLayout) {
    const Bytes blob = MassStorageDescriptors();
    ASSERT_EQ(20u + 2 * (9 + 7 + 7), blob.size());
    EXPECT_EQ(std::uint32_t{FUNCTIONFS_DESCRIPTORS_MAGIC_V2}, Le32(blob, 0));
    EXPECT_EQ(blob.size(), Le32(blob, 4));
    EXPECT_EQ(std::uint32_t{FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC}, Le32(blob, 8));
    EXPECT_EQ(3u, Le32(blob, 12)) << "full-speed descriptors";
    EXPECT_EQ(3u, Le32(blob, 16)) << "high-speed descriptors";

    // Per speed: the interface, then bulk IN (ep1), then bulk OUT (ep2).
    for (const auto& [at, packet] : {std::pair<std::size_t, int>{20, 64}, {43, 512}}) {
        const Bytes interface(blob.begin() + static_cast<long>(at), blob.begin() + static_cast<long>(at) + 9);
        EXPECT_EQ((Bytes{9, USB_DT_INTERFACE, 0, 0, 2, 0x08, 0x06, 0x50, 1}), interface) << packet;
        for (const auto& [offset, address] : {std::pair<std::size_t, int>{9, 0x81}, {16, 0x02}}) {
            const std::size_t e = at + offset;
            EXPECT_EQ(7, blob[e]) << packet;
            EXPECT_EQ(USB_DT_ENDPOINT, blob[e + 1]) << packet;
            EXPECT_EQ(address, blob[e + 2]) << packet;
            EXPECT_EQ(USB_ENDPOINT_XFER_BULK, blob[e + 3]) << packet;
            EXPECT_EQ(packet, blob[e + 4] | blob[e + 5] << 8) << packet << " " << address;
        }
    }

    const Bytes strings = MassStorageStrings("Disk");
    EXPECT_EQ((Bytes{2, 0, 0, 0, 23, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x09, 0x04, 'D', 'i', 's', 'k', 0}),
              strings);
}

TEST(FunctionFs, ControlRequests) {
    using Kind = ControlAnswer::Kind;
    struct Case {
        const char* name;
        std::uint8_t type, request;
        std::uint16_t value, length;
        Kind kind;
        Bytes data;
        bool reset;
    };
    const Case cases[] = {
        {"Get Max LUN", 0xA1, 0xFE, 0, 1, Kind::Data, {0}, false},
        {"Get Max LUN without room", 0xA1, 0xFE, 0, 0, Kind::Stall, {}, false},
        {"Bulk-Only reset", 0x21, 0xFF, 0, 0, Kind::Acknowledge, {}, true},
        {"reset with a value", 0x21, 0xFF, 1, 0, Kind::Stall, {}, false},
        {"a vendor request", 0xC1, 0x01, 0, 8, Kind::Stall, {}, false},
    };
    for (const Case& c : cases) {
        const ControlAnswer answer = AnswerControlRequest(c.type, c.request, c.value, c.length);
        EXPECT_EQ(c.kind, answer.kind) << c.name;
        EXPECT_EQ(c.data, answer.data) << c.name;
        EXPECT_EQ(c.reset, answer.resetBulk) << c.name;
    }
}

}  // namespace
}  // namespace v62x::usb
