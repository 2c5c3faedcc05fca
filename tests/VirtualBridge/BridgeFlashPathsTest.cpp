// The bridge firmware's flash paths through the simulated host: serial
// transactions passed to the chip, the flash block commands, the direct
// read and write with their erase selector, the internal-ROM loader, the
// bridge's restart, and the virtual time commands and flash parts take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "IDEAccess/CommandSession.h"
#include "IDEAccess/FlashIdentify.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "support/SimBench.h"

namespace v62x::sim {
namespace {

using test::Bytes;
using test::Cdb12;
using Sent = test::Outcome;

Bytes Vendor(std::uint8_t sub, std::initializer_list<std::uint8_t> rest = {}) {
    Bytes cdb = {0xFF, 0x04, sub};
    cdb.insert(cdb.end(), rest.begin(), rest.end());
    cdb.resize(12, 0);
    return cdb;
}

Bytes Direct(std::uint8_t mode, std::uint16_t count, std::uint32_t address, std::uint8_t target) {
    return {0xDF, mode, 0x00, static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count),
            0x00, 0x00, 0x00, static_cast<std::uint8_t>(address >> 16),
            static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), target};
}
Bytes DirectRead(std::uint16_t count, std::uint32_t address) { return Direct(0x10, count, address, 0xFA); }
Bytes DirectWrite(std::uint8_t mode, std::uint16_t count, std::uint32_t address) {
    return Direct(mode, count, address, 0xFB);
}
Bytes WithAddress(std::uint8_t sub, std::uint32_t address) {
    return Vendor(sub, {static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
                        static_cast<std::uint8_t>(address)});
}

// A bridge with one flash part on a simulated host.
struct Rig {
    SimulatedHost host;
    VirtualDevice* device = nullptr;
    std::string path;

    explicit Rig(const std::string& part, Bus bus = Bus::Usb, std::uint8_t fill = 0xFF, int kind = 8,
                 int revision = 1) {
        DeviceConfig config;
        std::string why;
        EXPECT_TRUE(MakeBridgeConfig(kind, revision, {}, config, why)) << why;
        config.bus = bus;
        if (!part.empty()) {
            EXPECT_TRUE(SetFlashPart(config.flash, part, why)) << why;
        }
        config.flash.fill = fill;
        device = &host.AddDevice(config);
        path = device->path();
        host.DrainDeviceEvents();
    }

    Sent Send(const Bytes& cdb, DataDirection direction, Bytes data, std::uint32_t timeout = 50) {
        return test::Send(host, path, cdb, direction, std::move(data), timeout);
    }
    Sent In(const Bytes& cdb, std::size_t n) { return Send(cdb, DataDirection::In, Bytes(n, 0xEE)); }
    Sent Out(const Bytes& cdb, const Bytes& data = {}, std::uint32_t timeout = 50) {
        return Send(cdb, DataDirection::Out, data, timeout);
    }
    // One serial query as the tool sends it: the opcode, then n answer bytes.
    Bytes Query(std::uint8_t opcode, std::size_t n) {
        EXPECT_TRUE(Good(In(Vendor(0x20, {0x01, 0x01, opcode}), 0)));
        return In(Vendor(0x21, {0, 0, 0, 0, 0, static_cast<std::uint8_t>(n)}), n).data;
    }
    std::uint8_t Status() { return In(Vendor(0x12), 1).data[0]; }
    Bytes& Flash() { return *device->FlashContents(); }

    static bool Good(const Sent& sent) { return test::Good(sent.reply); }
};

bool Refused(const Sent& sent, std::uint8_t senseKey, std::uint8_t asc) {
    return sent.reply.completed && sent.reply.scsiStatus == scsi::kCheckCondition &&
           sent.reply.senseKey == senseKey && sent.reply.asc == asc;
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
    return bytes;
}

// The tool's own detection names every part by its maker and size.
TEST(SimBridgeFlash, ToolDetectionNamesEveryCataloguePart) {
    for (const SerialFlashPart& part : SerialFlashCatalogue()) {
        SCOPED_TRACE(part.name);
        Rig rig(part.name, Bus::Usb, 0xFF, 12);
        CommandSession scoped(rig.host);
        FlashProfile profile{};
        EXPECT_EQ(1, DetectSerialFlash(rig.path, profile));
        EXPECT_EQ(part.typeCode, profile.FlashType);
        EXPECT_EQ(1, DetectFlashSize(rig.path, profile));
        EXPECT_EQ(part.size / 1024, profile.SizeKB);
    }
}

TEST(SimBridgeFlash, TransactionsReachTheChipByteForByte) {
    struct Case {
        const char* part;
        std::uint8_t opcode;
        std::size_t n;
        Bytes expected;
    };
    const Case cases[] = {
        {"W25X40", 0x9F, 4, {0xEF, 0x30, 0x13, 0xEF}},
        {"W25X40", 0x90, 6, {0xFF, 0xFF, 0xFF, 0xEF, 0x12, 0xEF}},
        {"A25L10P", 0x9F, 4, {0x7F, 0x37, 0x20, 0x21}},
        {"AT25FS010", 0x9F, 4, {0x1F, 0x66, 0x01, 0x1F}},
        {"SST25VF010A", 0x90, 4, {0xFF, 0xFF, 0xFF, 0xBF}},
        {"SST25VF512A", 0xAB, 6, {0xFF, 0xFF, 0xFF, 0xBF, 0x48, 0xBF}},
        {"Pm25LV512", 0xAB, 6, {0xFF, 0xFF, 0xFF, 0x9D, 0x7B, 0x9D}},
        {"M25P05", 0xAB, 4, {0xFF, 0xFF, 0xFF, 0x05}},
        {"M25P05", 0x9F, 4, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"AT25F1024", 0x15, 4, {0x1F, 0x60, 0x1F, 0x60}},
        {"LE25FW203A", 0xAB, 4, {0xFF, 0xFF, 0xFF, 0x44}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.part) + " opcode " + std::to_string(c.opcode));
        Rig rig(c.part);
        EXPECT_EQ(c.expected, rig.Query(c.opcode, c.n));
    }

    // FF 04 15 n opcode d: the dummy bytes go out with the opcode.
    Rig st("M25P05");
    EXPECT_EQ((Bytes{0x05, 0x05, 0x05}), st.In(Vendor(0x15, {0x03, 0xAB, 0x03}), 3).data);
    Rig atmel("AT25F512");
    EXPECT_EQ((Bytes{0x1F, 0x65, 0x1F}), atmel.In(Vendor(0x15, {0x03, 0x15, 0x00}), 3).data);

    // A program as the tool builds it: write enable, then opcode and
    // address with the data in a second command of the same cycle.
    Rig rig("W25X40");
    EXPECT_TRUE(Rig::Good(rig.Out(Vendor(0x20, {0x01, 0x00, 0x06}))));
    EXPECT_EQ(0x02, rig.Status() & 0x02);
    EXPECT_TRUE(Rig::Good(rig.Out(Vendor(0x20, {0x04, 0x01, 0x02, 0x00, 0x10, 0x00}))));
    EXPECT_TRUE(Rig::Good(rig.Out(Vendor(0x22, {0, 0, 0, 0, 0x00, 0x03}), {0x11, 0x22, 0x33, 0x44})));
    rig.host.Sleep(10);
    EXPECT_EQ((Bytes{0x11, 0x22, 0x33, 0xFF}), rig.In(WithAddress(0x10, 0x1000), 4).data);

    // The tool's status clear: opcode and value in the descriptor, the data
    // phase attached to the same command is not clocked.
    Rig sst("SST25VF016B");
    EXPECT_EQ(0x1C, sst.Status());
    sst.Out(Vendor(0x20, {0x01, 0x00, 0x06}));
    EXPECT_TRUE(Rig::Good(sst.Out(Vendor(0x20, {0x02, 0x00, 0x01}), {0x01, 0x00})));
    EXPECT_EQ(0x00, sst.Status());
}

TEST(SimBridgeFlash, FirmwareDetectsTheMakerFromTheJedecAnswer) {
    const std::pair<const char*, std::uint8_t> cases[] = {
        {"Pm25LV010", 1},  {"SST25VF016B", 2}, {"SST25VF010A", 0}, {"M25P80", 3},
        {"M25P05", 0},     {"AT25FS010", 4},   {"AT25F512", 0},    {"MX25L8005", 5},
        {"W25X40", 6},     {"A25L10P", 7},     {"A25L080", 7},     {"EN25F80", 8},
        {"F25L01PA", 9},   {"LE25FW203A", 10},
    };
    for (const auto& [part, type] : cases) {
        SCOPED_TRACE(part);
        Rig rig(part);
        EXPECT_EQ((Bytes{type, 0, 0, 0}), rig.In(Vendor(0x23, {0x04}), 4).data);
    }
}

TEST(SimBridgeFlash, DirectWriteEraseSelectors) {
    // 16 bytes of A5 at 0x11000 on a W25X40 whose every byte is 0x00: the
    // small unit is the 4 KiB sector 0x11000, the large one the 64 KiB block 0x10000.
    const std::uint32_t probes[] = {0x0FFFF, 0x10FFF, 0x11000, 0x11010, 0x1F000, 0x20000};
    struct Case {
        std::uint8_t mode;
        Bytes expected;
    };
    const Case cases[] = {
        {0x00, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},  // programming alone cannot set bits
        {0x01, {0x00, 0x00, 0xA5, 0xFF, 0x00, 0x00}},
        {0x02, {0x00, 0xFF, 0xA5, 0xFF, 0xFF, 0x00}},
        {0x03, {0xFF, 0xFF, 0xA5, 0xFF, 0xFF, 0xFF}},
        {0x04, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {0x05, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {0x06, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {0x07, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
        {0x81, {0x00, 0x00, 0xA5, 0xFF, 0x00, 0x00}},
        {0x82, {0x00, 0xFF, 0xA5, 0xFF, 0xFF, 0x00}},
        {0x83, {0xFF, 0xFF, 0xA5, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        Rig rig("W25X40", Bus::Usb, 0x00);
        const std::uint64_t before = rig.host.Clock().NowUs();
        EXPECT_TRUE(Rig::Good(rig.Out(DirectWrite(c.mode, 16, 0x11000), Bytes(16, 0xA5), 100)));
        Bytes seen;
        for (std::uint32_t probe : probes) seen.push_back(rig.Flash()[probe]);
        EXPECT_EQ(c.expected, seen);
        EXPECT_EQ(0x00, rig.Status()) << "the bridge waited for its own erase and program";
        if ((c.mode & 7) == 3) {
            EXPECT_GE(rig.host.Clock().NowUs() - before, 4'000'000u) << "the W25X40's chip erase";
        }
    }
}

TEST(SimBridgeFlash, MxicFlagProgramsPagesOf32Bytes) {
    const Bytes data = Pattern(256, 1);
    {
        Rig rig("MX25L1021E");
        EXPECT_TRUE(Rig::Good(rig.Out(DirectWrite(0x83, 256, 0), data, 100)));
        EXPECT_EQ(data, rig.In(DirectRead(256, 0), 256).data);
    }
    {
        // Without the flag the bridge sends 256-byte pages: the chip keeps
        // only the last 32 bytes of each.
        Rig rig("MX25L1021E");
        EXPECT_TRUE(Rig::Good(rig.Out(DirectWrite(0x03, 256, 0), data, 100)));
        EXPECT_NE(data, rig.In(DirectRead(256, 0), 256).data);
        // Told the page size (FF 04 0F ... size/4), it programs right.
        EXPECT_TRUE(Rig::Good(rig.Out(Vendor(0x0F, {0xC7, 0xD8, 0x02, 0x20, 0x08}))));
        EXPECT_TRUE(Rig::Good(rig.Out(DirectWrite(0x03, 256, 0), data, 100)));
        EXPECT_EQ(data, rig.In(DirectRead(256, 0), 256).data);
    }
}

TEST(SimBridgeFlash, Ieee1394BridgeMoves256BytesAndErases32KiBHalves) {
    Rig rig("Pm25LV512", Bus::Ieee1394, 0x00, 7, 2);
    EXPECT_TRUE(Refused(rig.Out(DirectWrite(0x01, 257, 0), Bytes(257, 0x11)), 0x05, 0x24));
    EXPECT_TRUE(Refused(rig.In(DirectRead(257, 0), 257), 0x05, 0x24));
    EXPECT_EQ(0x00, rig.Flash()[0]);

    const Bytes data = Pattern(256, 7);
    EXPECT_TRUE(Rig::Good(rig.Out(DirectWrite(0x01, 256, 0), data)));
    EXPECT_EQ(data, rig.In(DirectRead(256, 0), 256).data);
    EXPECT_EQ(0xFF, rig.Flash()[0x7FFF]) << "erase flag: the 32 KiB half";
    EXPECT_EQ(0x00, rig.Flash()[0x8000]);

    Rig usb("Pm25LV512", Bus::Usb, 0x00, 7, 2);
    EXPECT_TRUE(Rig::Good(usb.Out(DirectWrite(0x01, 257, 0), Bytes(257, 0x11))));
    EXPECT_EQ(0xFF, usb.Flash()[0x0FFF]) << "small unit on the USB bridge: the 4 KiB sector";
    EXPECT_EQ(0x00, usb.Flash()[0x1000]);
}

TEST(SimBridgeFlash, BlockCommands) {
    Rig rig("W25X40", Bus::Usb, 0x00, 3);
    // 0x13: write enable and chip erase; returns at once, the chip stays busy.
    const std::uint64_t before = rig.host.Clock().NowUs();
    EXPECT_TRUE(Rig::Good(rig.Out(Vendor(0x13), {}, 100)));
    EXPECT_LT(rig.host.Clock().NowUs() - before, 10'000u);
    EXPECT_EQ(0x03, rig.Status());
    EXPECT_EQ(Bytes(4, 0xFF), rig.In(WithAddress(0x10, 0x40000), 4).data) << "a busy chip is not read";
    rig.host.Sleep(4000);
    EXPECT_EQ(0x00, rig.Status());
    EXPECT_TRUE(std::all_of(rig.Flash().begin(), rig.Flash().end(), [](auto b) { return b == 0xFF; }));

    // 0x11: page programs, the bridge waits for each.
    const Bytes data = Pattern(1000, 3);
    EXPECT_TRUE(Rig::Good(rig.Out(WithAddress(0x11, 0x1080), data)));
    EXPECT_EQ(0x00, rig.Status());
    EXPECT_EQ(data, rig.In(WithAddress(0x10, 0x1080), 1000).data);

    // 0x14: the block-erase opcode at the address (D8: 64 KiB on this part).
    rig.Flash()[0x20000] = rig.Flash()[0x2FFFF] = rig.Flash()[0x30000] = 0x00;
    EXPECT_TRUE(Rig::Good(rig.Out(WithAddress(0x14, 0x28000))));
    EXPECT_EQ(0x03, rig.Status());
    rig.host.Sleep(1000);
    EXPECT_EQ(0xFF, rig.Flash()[0x20000]);
    EXPECT_EQ(0xFF, rig.Flash()[0x2FFFF]);
    EXPECT_EQ(0x00, rig.Flash()[0x30000]);

    // A part that knows neither C7 nor D8 erases only with the opcodes it is given.
    Rig atmel("AT25F512", Bus::Usb, 0x00, 15);
    atmel.Out(Vendor(0x13));
    atmel.host.Sleep(3000);
    EXPECT_EQ(0x00, atmel.Flash()[0]);
    EXPECT_TRUE(Rig::Good(atmel.In(Vendor(0x24, {0x02, 0x62, 0x52, 0x02, 0x04, 0x01}), 2)));
    atmel.Out(WithAddress(0x14, 0x8000));
    atmel.host.Sleep(1200);
    EXPECT_EQ(0x00, atmel.Flash()[0x7FFF]);
    EXPECT_EQ(0xFF, atmel.Flash()[0x8000]);
    atmel.Out(Vendor(0x13));
    atmel.host.Sleep(3000);
    EXPECT_EQ(0xFF, atmel.Flash()[0]);
}

TEST(SimBridgeFlash, SstFlashOnTheFirmwarePaths) {
    // Detected as SST: the firmware clears the power-up protection and
    // programs byte by byte.
    Rig rig("SST25VF016B");
    const Bytes data = Pattern(600, 9);
    EXPECT_TRUE(Rig::Good(rig.Out(DirectWrite(0x01, 600, 0x3000), data)));
    EXPECT_EQ(data, rig.In(DirectRead(600, 0x3000), 600).data);

    // Told to use auto-address-increment (0xAF) for a part it could not
    // detect, and the SST type, it unprotects and programs that way.
    Rig older("SST25VF010A", Bus::Usb, 0xFF, 15);
    EXPECT_TRUE(Rig::Good(older.Out(WithAddress(0x11, 0x100), data)));
    EXPECT_EQ(Bytes(600, 0xFF), older.In(WithAddress(0x10, 0x100), 600).data) << "still protected";
    older.In(Vendor(0x24, {0x02, 0x60, 0x52, 0xAF, 0x02, 0x01}), 2);
    EXPECT_TRUE(Rig::Good(older.Out(WithAddress(0x11, 0x100), data)));
    EXPECT_EQ(data, older.In(WithAddress(0x10, 0x100), 600).data);
    EXPECT_EQ(0x00, older.Status()) << "the sequence was ended";
}

TEST(SimRomLoader, ProgramAndEraseWithEachFlashTypeChoice) {
    // The cycle addresses the tool sends for each choice in its list.
    const std::uint16_t cycles[3][2] = {{0x5555, 0x2AAA}, {0x0555, 0x02AA}, {0x5555, 0x2AAA}};
    struct Case {
        const char* part;
        bool works[3];
    };
    const Case cases[] = {
        {"AT49BV512", {true, false, true}},
        {"Pm39LV512", {true, true, true}},
        {"SST39LF512", {true, false, true}},
    };
    for (const Case& c : cases) {
        for (int type = 0; type < 3; ++type) {
            SCOPED_TRACE(std::string(c.part) + " type " + std::to_string(type));
            const std::uint16_t a = cycles[type][0];
            const std::uint16_t b = cycles[type][1];
            const auto lo = [](std::uint16_t v) { return static_cast<std::uint8_t>(v); };
            const auto hi = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); };

            Rig rig(c.part, Bus::Usb, 0xFF, 2, 1);
            EXPECT_TRUE(Rig::Good(rig.Out(Vendor(0x05))));
            const Bytes data = Pattern(0x10000, 5);
            EXPECT_TRUE(Rig::Good(rig.Out(
                Vendor(0x02, {lo(a), hi(a), lo(b), hi(b), lo(a), hi(a), 0xAA, 0x55, 0xA0}), data)));
            int polls = 0;
            while (rig.In(Vendor(0x00), 1).data[0] == 1 && polls < 50'000) ++polls;
            EXPECT_LT(polls, 50'000) << "busy polls without sleeping see the ROM finish";
            const Bytes back = rig.In(Vendor(0x03, {0, 0, 0, 0}), 0x10000).data;
            EXPECT_EQ(c.works[type], back == data);
            if (!c.works[type]) {
                EXPECT_EQ(Bytes(0x10000, 0xFF), back);
            }

            Rig full(c.part, Bus::Usb, 0x00, 2, 1);
            const Bytes sequence = {lo(a), hi(a), lo(b), hi(b), lo(a), hi(a), lo(a), hi(a), lo(b),
                                    hi(b), lo(a), hi(a), 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
            EXPECT_TRUE(Rig::Good(full.Out(Vendor(0x04), sequence)));
            EXPECT_TRUE(Rig::Good(full.Out(Vendor(0x01))));
            polls = 0;
            while (full.In(Vendor(0x00), 1).data[0] == 1 && polls < 50'000) ++polls;
            EXPECT_LT(polls, 50'000);
            const Bytes erased = full.In(Vendor(0x03, {0, 0, 0, 0}), 0x10000).data;
            EXPECT_EQ(c.works[type], erased == Bytes(0x10000, 0xFF));
        }
    }
}

TEST(SimRomLoader, BusyAndRefusals) {
    Rig rig("AT49BV512", Bus::Usb, 0x00, 2, 1);
    EXPECT_TRUE(Refused(rig.Out(Vendor(0x01)), 0x05, 0x2C)) << "no erase sequence loaded";
    const Bytes sequence = {0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0x55, 0x55, 0xAA,
                            0x2A, 0x55, 0x55, 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
    rig.Out(Vendor(0x04), sequence);
    EXPECT_TRUE(Rig::Good(rig.Out(Vendor(0x01))));
    EXPECT_EQ(1, rig.In(Vendor(0x00), 1).data[0]);
    // Reads during the erase see the status bits: DQ6 toggles.
    const Bytes during = rig.In(Vendor(0x03, {0x00, 0x10, 0x00, 0x00}), 2).data;
    EXPECT_NE(during[0] & 0x40, during[1] & 0x40);
    EXPECT_TRUE(Refused(rig.Out(Vendor(0x02, {0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0xAA, 0x55, 0xA0}),
                                Bytes(16, 0)),
                        0x02, 0x04));
    rig.host.Sleep(10'000);  // the AT49BV512's chip erase
    EXPECT_EQ(0, rig.In(Vendor(0x00), 1).data[0]);
    EXPECT_EQ(Bytes(4, 0xFF), rig.In(Vendor(0x03, {0xFC, 0xFF, 0x00, 0x00}), 4).data);

    // A part that never gets ready keeps the ROM busy.
    rig.device->parallelFlash()->SetNeverReady(true);
    rig.host.Sleep(60'000);
    EXPECT_EQ(1, rig.In(Vendor(0x00), 1).data[0]);
    EXPECT_TRUE(Refused(rig.Out(Vendor(0x01)), 0x02, 0x04));
}

TEST(SimBridgeFlash, CommandsForAnotherKindOfFlashAreRefused) {
    Rig serial("W25X40");
    Rig parallel("SST39LF512", Bus::Usb, 0xFF, 2, 1);
    Rig none("", Bus::Usb, 0xFF, 3);
    const Bytes romCommands[] = {Vendor(0x00), Vendor(0x03), Vendor(0x05)};
    const Bytes serialCommands[] = {Vendor(0x12), Vendor(0x23, {0x04}), WithAddress(0x10, 0),
                                    DirectRead(16, 0), Vendor(0x20, {0x01, 0x01, 0x9F})};
    for (const Bytes& cdb : romCommands) {
        EXPECT_TRUE(Refused(serial.In(cdb, 4), 0x05, 0x20));
        EXPECT_TRUE(Refused(none.In(cdb, 4), 0x05, 0x20));
        EXPECT_TRUE(Rig::Good(parallel.In(cdb, cdb[2] == 0x05 ? 0 : 4)));
    }
    for (const Bytes& cdb : serialCommands) {
        EXPECT_TRUE(Refused(parallel.In(cdb, 16), 0x05, 0x20));
        EXPECT_TRUE(Refused(none.In(cdb, 16), 0x05, 0x20));
        EXPECT_TRUE(Rig::Good(serial.In(cdb, cdb[2] == 0x20 ? 0 : 16)));
    }
    EXPECT_EQ(nullptr, none.device->FlashContents());
    EXPECT_EQ(512u * 1024, serial.device->FlashContents()->size());
    EXPECT_EQ(0x10000u, parallel.device->FlashContents()->size());
}

TEST(SimBridgeFlash, RestartLosesTheBridgeSettingsNotTheFlash) {
    Rig rig("MX25L8005");
    rig.Out(Cdb12({0xFF, 0x04, 0x56, 0x52, 0x55}));
    rig.Out(Vendor(0x0F, {0x60, 0x52, 0x02, 0xD7, 0x08}));
    rig.Flash()[5] = 0x42;
    ASSERT_TRUE(rig.device->vendorMode());
    EXPECT_EQ(32u, rig.device->flashState().pageSize);

    EXPECT_TRUE(Rig::Good(rig.In(Vendor(0x26, {0x56, 0x52}), 0)));
    const std::vector<DeviceEvent> events = rig.host.DrainDeviceEvents();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(DeviceEventKind::Removal, events[0].kind);
    EXPECT_EQ(DeviceEventKind::Arrival, events[1].kind);
    EXPECT_EQ(rig.path, events[1].node);
    EXPECT_FALSE(rig.device->vendorMode());
    EXPECT_EQ(256u, rig.device->flashState().pageSize);
    EXPECT_EQ(0xC7, rig.device->flashState().chipEraseOp);
    EXPECT_EQ(0x42, rig.Flash()[5]);

    // Restarted while the chip is still erasing: the JEDEC read at start-up
    // goes unheard and the firmware finds no maker.
    rig.Out(Vendor(0x13));
    rig.In(Vendor(0x26, {0x56, 0x52}), 0);
    EXPECT_EQ(0, rig.In(Vendor(0x23, {0x04}), 4).data[0]);
}

TEST(SimBridgeFlash, PowerCycleBringsBackSstProtection) {
    Rig rig("SST25VF016B");
    rig.Out(Vendor(0x20, {0x01, 0x00, 0x50}));
    rig.Out(Vendor(0x20, {0x02, 0x00, 0x01, 0x00}));
    EXPECT_EQ(0x00, rig.Status());
    rig.host.PowerCycle(rig.path);
    EXPECT_EQ(2u, rig.host.DrainDeviceEvents().size());
    EXPECT_EQ(0x1C, rig.Status());
}

TEST(SimBridgeFlash, CommandsCostVirtualTimeAndLongOnesTimeOut) {
    Rig rig("M25P80", Bus::Usb, 0x00);
    std::uint64_t before = rig.host.Clock().NowUs();
    rig.In(Vendor(0x12), 1);
    EXPECT_EQ(CommandCostUs(1) + 1, rig.host.Clock().NowUs() - before);  // and 2 bytes on the serial bus
    EXPECT_EQ(375u, CommandCostUs(1));
    EXPECT_EQ(250u + 3 * 125, CommandCostUs(16 * 1024));  // 32 packets: three microframes

    // A chip erase of 8 s inside a command given 5 s: the host gives up,
    // the bridge finishes the erase and the program anyway.
    before = rig.host.Clock().NowUs();
    const Sent sent = rig.Out(DirectWrite(0x03, 4, 0), Bytes(4, 0x12), 5);
    EXPECT_FALSE(sent.reply.completed);
    EXPECT_EQ(ETIMEDOUT, sent.reply.hostError);
    EXPECT_GE(rig.host.Clock().NowUs() - before, 8'000'000u);
    EXPECT_EQ(0x12, rig.Flash()[0]);
    EXPECT_EQ(0xFF, rig.Flash()[0xFFFFF]);
    EXPECT_TRUE(Rig::Good(rig.Out(DirectWrite(0x03, 4, 0), Bytes(4, 0x12), 100)));
}

TEST(SimBridgeFlash, WaitsGiveUpOnAFlashThatNeverGetsReady) {
    Rig rig("W25X40");
    rig.device->serialFlash()->SetNeverReady(true);
    EXPECT_TRUE(Refused(rig.Out(DirectWrite(0x00, 4, 0), Bytes(4, 0)), 0x03, 0x0C));
    EXPECT_EQ(0x01, rig.Status());
    rig.device->serialFlash()->SetNeverReady(false);
    rig.device->serialFlash()->SetWriteEnableNeverSets(true);
    EXPECT_TRUE(Rig::Good(rig.Out(DirectWrite(0x00, 4, 0), Bytes(4, 0))));
    EXPECT_EQ(0xFF, rig.Flash()[0]) << "the firmware does not check the latch: nothing was programmed";
}

TEST(SimFlashDescription, FlashKeys) {
    std::vector<DeviceConfig> devices;
    std::string error;
    ASSERT_TRUE(ParseSimulationDescription(
        "bridge:kind=8,flash=w25x40,flashfill=0x5a;bridge:kind=2;bridge:kind=8;bridge:kind=12;"
        "bridge:kind=7,rev=2,bus=1394;bridge:kind=3,flash=none;bridge:kind=2,flash=SST39LF512",
        devices, error))
        << error;
    ASSERT_EQ(7u, devices.size());
    ASSERT_TRUE(devices[0].flash.serial.has_value());
    EXPECT_EQ("W25X40", devices[0].flash.serial->name);
    EXPECT_EQ(0x5A, devices[0].flash.fill);
    EXPECT_EQ("AT49BV512", devices[1].flash.parallel->name);
    EXPECT_EQ(5, devices[2].flash.serial->typeCode);
    EXPECT_EQ(128u * 1024, devices[3].flash.serial->size);
    EXPECT_EQ(1, devices[4].flash.serial->typeCode);
    EXPECT_FALSE(devices[5].flash.serial || devices[5].flash.parallel);
    EXPECT_EQ("SST39LF512", devices[6].flash.parallel->name);
    EXPECT_FALSE(devices[6].flash.serial.has_value());

    const std::pair<const char*, const char*> refused[] = {
        {"bridge:kind=8,flash=W25Q999", "entry 1: flash=W25Q999: not a flash part the simulator knows (Pm25LV512"},
        {"bridge:kind=8,flashfill=1FF", "entry 1: flashfill=1FF: expected a byte in hexadecimal"},
        {"bridge:kind=8,flash=none,flashfill=00", "entry 1: flashfill=00: the bridge has no flash"},
        {"disk:flash=W25X40", "entry 1: flash=W25X40: not a key of a disk entry"},
    };
    for (const auto& [description, message] : refused) {
        SCOPED_TRACE(description);
        EXPECT_FALSE(ParseSimulationDescription(description, devices, error));
        EXPECT_EQ(0u, error.find(message)) << error;
    }
}

TEST(SimFlashDescription, DefaultSimulationCarriesBelievableFlash) {
    for (const DeviceConfig& config : DefaultSimulation()) {
        if (!config.isBridge) continue;
        const FlashConfig& flash = config.flash;
        SCOPED_TRACE(config.product);
        if (config.bus == Bus::Ieee1394) {
            ASSERT_TRUE(flash.serial.has_value());
            EXPECT_TRUE(flash.serial->typeCode == 1 || flash.serial->typeCode == 2);
        }
        if (config.cls == DeviceClass::CdRom) {  // the kind-12 bridge
            ASSERT_TRUE(flash.serial.has_value());
            EXPECT_EQ(128u * 1024, flash.serial->size);
        }
    }
    const DeviceConfig first = DefaultSimulation().front();  // the kind-8 bridge
    ASSERT_TRUE(first.flash.serial.has_value());
    EXPECT_TRUE(first.flash.serial->typeCode == 5 || first.flash.serial->typeCode == 6);
}

}  // namespace
}  // namespace v62x::sim
