#include "IDEAccess/CommandSession.h"
#include "IDEAccess/FlashCommands.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "IDEAccess/DiskCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "support/ScriptedHost.h"

namespace v62x {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::CheckGolden;

constexpr auto In = DataDirection::In;
constexpr auto Out = DataDirection::Out;

TEST(FlashCommandBytes, RomLoaderCommands) {
    std::uint8_t buffer[64] = {};
    CheckGolden({
        {"SwitchToInternalRom", [](auto& p) { SwitchToInternalRom(p); }, {0xFF, 0x04, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Out, 0},
        {"ReadRomBusy", [](auto& p) { ReadRomBusy(p); }, {0xFF, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}, In, 2},
        {"StartRomErase", [](auto& p) { StartRomErase(p); }, {0xFF, 0x04, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Out, 0},
        {"ReadRom at 0x4000 (low byte first)", [&](auto& p) { ReadRom(p, 0x4000, buffer, 64); },
         {0xFF, 0x04, 0x03, 0x00, 0x40, 0x00, 0x00, 0, 0, 0, 0, 0}, In, 64},
        {"ReadRom at 0x12345678", [&](auto& p) { ReadRom(p, 0x12345678, buffer, 16); },
         {0xFF, 0x04, 0x03, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 0}, In, 16},
        {"ProgramRom type 0", [&](auto& p) { ProgramRom(p, buffer, 64, 0); },
         {0xFF, 0x04, 0x02, 0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0xAA, 0x55, 0xA0}, Out, 64},
        {"ProgramRom type 1", [&](auto& p) { ProgramRom(p, buffer, 64, 1); },
         {0xFF, 0x04, 0x02, 0x55, 0x05, 0xAA, 0x02, 0x55, 0x05, 0xAA, 0x55, 0xA0}, Out, 64},
        {"ProgramRom type 2 as type 0", [&](auto& p) { ProgramRom(p, buffer, 64, 2); },
         {0xFF, 0x04, 0x02, 0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0xAA, 0x55, 0xA0}, Out, 64},
        {"ProgramRom type 3 sends zeros", [&](auto& p) { ProgramRom(p, buffer, 64, 3); },
         {0xFF, 0x04, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Out, 64},
        {"LoadRomEraseSequence type 0", [](auto& p) { LoadRomEraseSequence(p, 0); },
         {0xFF, 0x04, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Out, 18,
         {0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10}},
        {"LoadRomEraseSequence type 1", [](auto& p) { LoadRomEraseSequence(p, 1); },
         {0xFF, 0x04, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Out, 18,
         {0x55, 0x05, 0xAA, 0x02, 0x55, 0x05, 0x55, 0x05, 0xAA, 0x02, 0x55, 0x05, 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10}},
        {"LoadRomEraseSequence type 7", [](auto& p) { LoadRomEraseSequence(p, 7); },
         {0xFF, 0x04, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Out, 18, Bytes(18, 0x00)},
    });
}

TEST(FlashCommandBytes, BlockDirectAndSerialCommands) {
    std::uint8_t buffer[1024] = {};
    std::uint8_t status = 0;
    FlashProfile profile;
    CheckGolden({
        {"ReadFlashData at 0x4000", [&](auto& p) { ReadFlashData(p, 0x4000, buffer, 1024); },
         {0xFF, 0x04, 0x10, 0x00, 0x40, 0x00, 0, 0, 0, 0, 0, 0}, In, 1024},
        {"WriteFlashData at 0x123456", [&](auto& p) { WriteFlashData(p, 0x123456, buffer, 512); },
         {0xFF, 0x04, 0x11, 0x12, 0x34, 0x56, 0, 0, 0, 0, 0, 0}, Out, 512, {}, 50},
        {"ReadFlashStatus", [&](auto& p) { ReadFlashStatus(p, &status); },
         {0xFF, 0x04, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0}, In, 2},
        {"ChipEraseFlash", [](auto& p) { ChipEraseFlash(p); },
         {0xFF, 0x04, 0x13, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Out, 0, {}, 100},
        {"SectorEraseFlash at 0x8000", [](auto& p) { SectorEraseFlash(p, 0x8000); },
         {0xFF, 0x04, 0x14, 0x00, 0x80, 0x00, 0, 0, 0, 0, 0, 0}, Out, 0, {}, 50},
        {"ReadFlashDirect 1024 at 0x1000", [&](auto& p) { ReadFlashDirect(p, 0x1000, buffer, 1024); },
         {0xDF, 0x10, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0xFA}, In, 1024},
        {"WriteFlashDirect mode 0x8B keeps bits 0-2 and 7", [&](auto& p) { WriteFlashDirect(p, 0x010000, buffer, 256, 0x8B); },
         {0xDF, 0x83, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0xFB}, Out, 256, {}, 50},
        {"WriteFlashDirect mode 3 erases the chip first", [&](auto& p) { WriteFlashDirect(p, 0, buffer, 1024, 3); },
         {0xDF, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFB}, Out, 1024, {}, 100},
        {"WriteFlashDirect mode 0x7A sends 0x02", [&](auto& p) { WriteFlashDirect(p, 0, buffer, 16, 0x7A); },
         {0xDF, 0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFB}, Out, 16},
        {"WriteFlashDirectErase on", [&](auto& p) { WriteFlashDirectErase(p, 0x8000, buffer, 256, true); },
         {0xDF, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0xFB}, Out, 256},
        {"WriteFlashDirectErase off", [&](auto& p) { WriteFlashDirectErase(p, 0x8000, buffer, 256, false); },
         {0xDF, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0xFB}, Out, 256},
        {"SpiCommand page program", [](auto& p) { SpiCommand(p, SpiWithAddress(1, 0x02, 0x012345)); },
         {0xFF, 0x04, 0x20, 0x04, 0x01, 0x02, 0x01, 0x23, 0x45, 0, 0, 0}, Out, 0},
        {"SpiWriteData 256", [&](auto& p) { SpiWriteData(p, buffer, 256); },
         {0xFF, 0x04, 0x22, 0, 0, 0, 0, 0x01, 0x00, 0, 0, 0}, Out, 256},
        {"SpiWriteEnable", [](auto& p) { SpiWriteEnable(p); },
         {0xFF, 0x04, 0x20, 0x01, 0x00, 0x06, 0, 0, 0, 0, 0, 0}, Out, 0},
        {"SpiClearStatus", [](auto& p) { SpiClearStatus(p); },
         {0xFF, 0x04, 0x20, 0x02, 0x00, 0x01, 0, 0, 0, 0, 0, 0}, Out, 2, {0x01, 0x00}},
        {"PrepareFlashUpdate", [](auto& p) { PrepareFlashUpdate(p); },
         {0xFF, 0x04, 0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Out, 0},
        {"ResetBridge", [](auto& p) { ResetBridge(p); },
         {0xFF, 0x04, 0x26, 0x56, 0x52, 0, 0, 0, 0, 0, 0, 0}, In, 0},
        {"GetFlashVendor", [&](auto& p) { GetFlashVendor(p, buffer); },
         {0xFF, 0x04, 0x23, 0x04, 0, 0, 0, 0, 0, 0, 0, 0}, In, 4},
        {"SpiReadId 0x15 without dummy", [&](auto& p) { SpiReadId(p, buffer, 0x15, false); },
         {0xFF, 0x04, 0x15, 0x03, 0x15, 0x00, 0, 0, 0, 0, 0, 0}, In, 3},
        {"SpiReadId 0xAB with dummy", [&](auto& p) { SpiReadId(p, buffer, 0xAB, true); },
         {0xFF, 0x04, 0x15, 0x03, 0xAB, 0x03, 0, 0, 0, 0, 0, 0}, In, 3},
        {"SetFlashOpcodes", [&](auto& p) { profile = {0xC7, 0xD8, 0x02, 5, 0x20, 0}; SetFlashOpcodes(p, profile); },
         {0xFF, 0x04, 0x24, 0x02, 0xC7, 0xD8, 0x02, 0x05, 0x01, 0, 0, 0}, In, 2},
        {"SetFlashOpcodesNoData", [&](auto& p) { profile = {0x60, 0x52, 0xAF, 2, 0x20, 0}; SetFlashOpcodesNoData(p, profile); },
         {0xFF, 0x04, 0x24, 0x02, 0x60, 0x52, 0xAF, 0x02, 0x01, 0, 0, 0}, In, 0},
        {"SetFlashPageSize 32 with 2 bytes", [](auto& p) { SetFlashPageSize(p, 32, 2); },
         {0xFF, 0x04, 0x25, 0x02, 0x08, 0, 0, 0, 0, 0, 0, 0}, In, 2},
        {"SetFlashPageSize 32 without data", [](auto& p) { SetFlashPageSize(p, 32, 0); },
         {0xFF, 0x04, 0x25, 0x02, 0x08, 0, 0, 0, 0, 0, 0, 0}, In, 0},
        {"SetFlashParams 32: byte 7 is 0x08", [&](auto& p) { profile = {0xC7, 0xD8, 0x02, 5, 0x20, 0}; SetFlashParams(p, profile, 32); },
         {0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x08, 0, 0, 0, 0}, Out, 0},
        {"SetFlashParamsWide 32: bytes 7, 8 are 00 20", [&](auto& p) { profile = {0xC7, 0xD8, 0x02, 5, 0x20, 0}; SetFlashParamsWide(p, profile, 32); },
         {0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x00, 0x20, 0, 0, 0}, Out, 0},
    });
}

TEST(DiskCommandBytes, StandardAndAtaCommands) {
    std::uint8_t buffer[4096] = {};
    CheckGolden({
        {"READ CAPACITY(10) as 12 bytes", [](auto& p) { GetDiskBlockSize(p); },
         {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, In, 8},
        {"READ CAPACITY(16)", [&](auto& p) { ReadCapacity16(p, buffer, 16); },
         {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0}, In, 16},
        {"READ(10) of four blocks", [&](auto& p) { ReadDisk10(p, buffer, 0x01020304, 2048, 512); },
         {0x28, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x04, 0x00}, In, 2048},
        {"WRITE(10) rounds the count down", [&](auto& p) { WriteDisk10(p, buffer, 7, 4000, 512); },
         {0x2A, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x07, 0x00}, Out, 4000},
        {"READ(16)", [&](auto& p) { ReadDisk16(p, buffer, 0x0000000123456789ULL, 4096, 4096); },
         {0x88, 0x00, 0x00, 0x00, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}, In, 4096},
        {"WRITE(16)", [&](auto& p) { WriteDisk16(p, buffer, 0x1122334455667788ULL, 2048, 512); },
         {0x8A, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00}, Out, 2048},
        {"direct IDENTIFY", [](auto& p) { GetDiskSectorsDirect(p); },
         {0xDF, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xEC}, In, 512},
        {"ATA PASS-THROUGH(12) IDENTIFY", [](auto& p) { GetDiskSectorsAta(p); },
         {0xA1, 0x08, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0xEC, 0x00, 0x00}, In, 512},
        {"READ DMA EXT of 4 sectors, registers in the standard's order",
         [&](auto& p) { AtaReadDmaExt(p, buffer, 0x0000A1B2C3D4E5F6ULL, 2048, 512); },
         {0x85, 0x15, 0x0B, 0x00, 0x00, 0x00, 0x04, 0xC3, 0xF6, 0xB2, 0xE5, 0xA1, 0xD4, 0x60, 0x25, 0x00}, In, 2048},
        {"WRITE DMA EXT", [&](auto& p) { AtaWriteDmaExt(p, buffer, 0x0102030405ULL, 512, 512); },
         {0x85, 0x17, 0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x05, 0x01, 0x04, 0x00, 0x03, 0x60, 0x35, 0x00}, Out, 512},
    });
}

TEST(DiskCommands, ZeroBlockSizeSendsNothing) {
    test::ScriptedHost host;
    CommandSession scoped(host);
    std::uint8_t buffer[512] = {};
    EXPECT_EQ(0, ReadDisk10("/dev/sg1", buffer, 0, 512, 0));
    EXPECT_EQ(0, WriteDisk16("/dev/sg1", buffer, 0, 512, 0));
    EXPECT_EQ(0, AtaReadDmaExt("/dev/sg1", buffer, 0, 512, 0));
    EXPECT_TRUE(host.sent.empty());
}

TEST(DiskCommands, CapacityAnswersAndFallbacks) {
    test::ScriptedHost host;
    CommandSession scoped(host);
    host.dataIn = {0x00, 0x3F, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00};
    host.reply.transferred = 8;
    EXPECT_EQ(0x003FFFFFu, GetDiskLastLba("/dev/sg1"));
    EXPECT_EQ(512u, GetDiskBlockSize("/dev/sg1"));
    host.dataIn = {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x10, 0x00};
    host.reply.transferred = 16;
    EXPECT_EQ(0x0000000100000002ULL, GetDiskLastLba64("/dev/sg1"));
    host.reply.scsiStatus = scsi::kCheckCondition;
    host.reply.senseValid = true;
    host.reply.senseKey = scsi::kSenseIllegalRequest;
    host.dataIn = {0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00};
    EXPECT_EQ(0u, GetDiskLastLba("/dev/sg1"));
    EXPECT_EQ(512u, GetDiskBlockSize("/dev/sg1"));
    EXPECT_EQ(0u, GetDiskLastLba64("/dev/sg1"));
    EXPECT_EQ(0u, GetDiskSectorsDirect("/dev/sg1"));
}

TEST(DiskCommands, IdentifySectorCountRule) {
    struct Case {
        const char* what;
        std::uint16_t w60, w61, w100, w101, w102, w103;
        std::uint64_t sectors;
    };
    const Case cases[] = {
        {"28-bit count", 0x5678, 0x0234, 0xFFFF, 0xFFFF, 0, 0, 0x02345678},
        {"0x0FFFFFFF takes words 100-103", 0xFFFF, 0x0FFF, 0x2000, 0x1A38, 0x0001, 0x0000, 0x00011A382000ULL},
        {"count above 2^32 returned whole", 0xFFFF, 0x0FFF, 0x0000, 0x0000, 0x0002, 0x0000, 0x000200000000ULL},
        {"three high words make 48 bits", 0xFFFF, 0x0FFF, 0x4444, 0x3333, 0x2222, 0x0000, 0x222233334444ULL},
        {"0x0FFFFFFE is a count", 0xFFFE, 0x0FFF, 0x1234, 0, 0, 0, 0x0FFFFFFE},
    };
    for (const Case& c : cases) {
        std::uint8_t id[512] = {};
        auto put = [&id](int word, std::uint16_t v) {
            id[2 * word] = static_cast<std::uint8_t>(v);
            id[2 * word + 1] = static_cast<std::uint8_t>(v >> 8);
        };
        put(60, c.w60);
        put(61, c.w61);
        put(100, c.w100);
        put(101, c.w101);
        put(102, c.w102);
        put(103, c.w103);
        EXPECT_EQ(c.sectors, IdentifySectorCount(id)) << c.what;
    }
    EXPECT_EQ(0u, IdentifySectorCount(nullptr));
}

}  // namespace
}  // namespace v62x
