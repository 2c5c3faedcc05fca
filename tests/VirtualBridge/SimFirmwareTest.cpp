// Whether a simulated bridge runs a firmware from its flash or only its
// internal code, as the tool finds out: the firmware= key, the default
// simulation, backups, erases and restores across restarts, the two banks
// of the kind-12 chip, and image files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/ImageChecks.h"
#include "IDEAccess/ChipCommands.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/FirmwareFile.h"
#include "IDEAccess/FirmwareState.h"
#include "IDEAccess/FlashCommands.h"
#include "IDEAccess/FlashIdentify.h"
#include "IDEAccess/IdentifyChip.h"
#include "VirtualBridge/BridgeFirmware.h"
#include "cli/HostChoice.h"
#include "VirtualBridge/SimulatedHost.h"
#include "support/ScratchDir.h"
#include "VirtualBridge/SimulationDescription.h"

namespace v62x::sim {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

constexpr std::uint32_t KiB = 1024;

DeviceConfig Parse(const std::string& text) {
    std::vector<DeviceConfig> devices;
    std::string error;
    EXPECT_TRUE(ParseSimulationDescription(text, devices, error)) << error;
    EXPECT_EQ(1u, devices.size()) << text;
    return devices.empty() ? DeviceConfig{} : devices[0];
}

// What the window concludes as it does: the kind from the identification,
// the version text from the chip information record, the flash type the
// bridge reports, then the firmware check. 1: it shows the version.
int FirmwareActive(const std::string& path) {
    const std::uint8_t kind = ChipKindOf(IdentifyChip(path));
    std::uint8_t record[16] = {};
    std::uint32_t arrived = 0;
    EXPECT_NE(0, GetChipInfo(path, record, sizeof record, arrived)) << path;
    const std::string text = FormatFirmwareVersion(record, arrived, kind, false);
    std::uint8_t vendor[4] = {};
    const int flashType = GetFlashVendor(path, vendor) != 0 ? vendor[0] : 0;
    return IsFlashFirmwareActive(path, kind, text, flashType);
}

// Polls the flash status as the tool does until the chip is ready.
bool WaitUntilReady(SimulatedHost& host, const std::string& path) {
    for (int i = 0; i < 10000; ++i) {
        std::uint8_t status = 0xFF;
        if (ReadFlashStatus(path, &status) != 0 && (status & 0x01) == 0) return true;
        host.Sleep(50);
    }
    return false;
}

Bytes ReadFlash(const std::string& path, std::uint32_t address, std::uint32_t length) {
    Bytes bytes(length, 0);
    for (std::uint32_t done = 0; done < length; done += 8 * KiB) {
        const std::uint32_t n = std::min<std::uint32_t>(8 * KiB, length - done);
        EXPECT_NE(0, ReadFlashData(path, address + done, bytes.data() + done, n));
    }
    return bytes;
}

// Programs the pieces of `bytes` that are not erased flash.
void WriteFlash(SimulatedHost& host, const std::string& path, const Bytes& bytes) {
    for (std::size_t done = 0; done < bytes.size(); done += 4 * KiB) {
        const std::size_t n = std::min<std::size_t>(4 * KiB, bytes.size() - done);
        if (std::all_of(bytes.begin() + static_cast<long>(done),
                        bytes.begin() + static_cast<long>(done + n),
                        [](std::uint8_t b) { return b == 0xFF; })) {
            continue;
        }
        ASSERT_TRUE(WaitUntilReady(host, path));
        ASSERT_NE(0, WriteFlashData(path, static_cast<std::uint32_t>(done), bytes.data() + done,
                                    static_cast<std::uint32_t>(n)));
    }
    ASSERT_TRUE(WaitUntilReady(host, path));
}

// The bridges whose firmware the tool checks, in the variants that change
// where the bridge finds it or how it reads its flash.
struct KindCase {
    const char* entry;
    std::uint8_t kind;
};
const KindCase kKinds[] = {
    {"bridge:kind=4", 4},
    {"bridge:kind=4,rev=4", 4},
    {"bridge:kind=4,flash=AT49BV512", 4},  // parallel flash
    {"bridge:kind=6,rev=2", 6},
    {"bridge:kind=8", 8},
    {"bridge:chip=644", 8},
    {"bridge:kind=11", 11},
    {"bridge:kind=11,rev=5,flash=SST25VF016B", 11},
    {"bridge:kind=12", 12},
    {"bridge:kind=12,flash=Pm25LV512", 12},  // room for one bank only
    {"bridge:kind=13", 13},
    {"bridge:kind=13,rev=3", 13},
    {"bridge:kind=15", 15},
};

TEST(SimFirmware, ValidRunsAndBlankLeavesTheInternalCode) {
    for (const KindCase& c : kKinds) {
        for (const char* firmware : {"", ",firmware=valid", ",firmware=blank"}) {
            const std::string entry = std::string(c.entry) + firmware;
            SCOPED_TRACE(entry);
            SimulatedHost host;
            CommandSession scoped(host);
            const std::string path = host.AddDevice(Parse(entry)).path();
            ASSERT_EQ(c.kind, ChipKindOf(IdentifyChip(path)));
            const int expected = std::string(firmware) == ",firmware=blank" ? 0 : 1;
            EXPECT_EQ(expected, FirmwareActive(path));
        }
    }
}

// The image the enclosure ships with is a firmware file the tool accepts
// for the chip: its tag matches, and its checksum test passes.
TEST(SimFirmware, ShippedImageIsAFileTheToolAcceptsForTheChip) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    for (const KindCase& c : kKinds) {
        SCOPED_TRACE(c.entry);
        SimulatedHost host;
        CommandSession scoped(host);
        VirtualDevice& device = host.AddDevice(Parse(c.entry));
        const std::uint16_t chip = IdentifyChip(device.path());
        const Bytes image(device.FlashContents()->begin(), device.FlashContents()->begin() + 64 * KiB);
        const std::string file = dir.File("backup.bin");
        test::WriteWholeFile(file, image);
        EXPECT_NE(0, FileMatchesChip(file, chip));
        EXPECT_NE(0, FileChecksumOk(file, chip));
    }
}

// A backup, an erase and a restart: the bridge runs its internal code; the
// backup programmed back and a restart: the firmware runs again.
TEST(SimFirmware, EraseAndRestoreAcrossRestarts) {
    enum class Restart { Command, Power };
    const char* entries[] = {"bridge:kind=4", "bridge:kind=6", "bridge:kind=8", "bridge:kind=11",
                             "bridge:kind=12", "bridge:kind=13", "bridge:kind=15"};
    for (const char* entry : entries) {
        for (const Restart restart : {Restart::Command, Restart::Power}) {
            SCOPED_TRACE(std::string(entry) + (restart == Restart::Command ? ", FF 04 26" : ", power"));
            SimulatedHost host;
            CommandSession scoped(host);
            VirtualDevice& device = host.AddDevice(Parse(entry));
            const std::string path = device.path();
            const auto again = [&] {
                if (restart == Restart::Command) {
                    EXPECT_NE(0, ResetBridge(path));
                } else {
                    host.PowerCycle(path);
                }
            };
            ASSERT_EQ(1, FirmwareActive(path));
            const std::uint32_t size = std::min<std::uint32_t>(
                static_cast<std::uint32_t>(device.FlashContents()->size()), 128 * KiB);
            const Bytes backup = ReadFlash(path, 0, size);

            ASSERT_NE(0, ChipEraseFlash(path));
            ASSERT_TRUE(WaitUntilReady(host, path));
            again();
            EXPECT_EQ(0, FirmwareActive(path));

            WriteFlash(host, path, backup);
            ASSERT_EQ(backup, ReadFlash(path, 0, size));
            EXPECT_EQ(0, FirmwareActive(path)) << "nothing changes before the restart";
            again();
            EXPECT_EQ(1, FirmwareActive(path));
        }
    }
}

// A restart while the chip is still erasing: the bridge's reads find
// nothing, so its internal code runs even though the firmware is intact.
TEST(SimFirmware, ARestartDuringAnEraseFindsNoFirmware) {
    SimulatedHost host;
    CommandSession scoped(host);
    VirtualDevice& device = host.AddDevice(Parse("bridge:kind=8"));
    ASSERT_NE(0, SectorEraseFlash(device.path(), 0x20000));  // far from the firmware
    ASSERT_TRUE(device.serialFlash()->Busy());
    ASSERT_NE(0, ResetBridge(device.path()));
    EXPECT_EQ(0, FirmwareActive(device.path()));
    ASSERT_TRUE(WaitUntilReady(host, device.path()));
    ASSERT_NE(0, ResetBridge(device.path()));
    EXPECT_EQ(1, FirmwareActive(device.path()));
}

// What the kind-12 bridge shows after a start: the flag its firmware sets
// (0x70F0 byte 3 bit 0) and status byte 19.
struct Kind12State {
    bool flag;
    std::uint8_t byte19;
};

Kind12State Kind12After(const std::string& path) {
    std::uint8_t flags[4] = {};
    EXPECT_NE(0, ReadBridgeMemory(path, flags, 0x70F0, sizeof flags));
    std::uint8_t status[20] = {};
    GetBridgeStatus(path, status, sizeof status);
    return {(flags[3] & 0x01) != 0, status[19]};
}

TEST(SimFirmware, Kind12BanksAreCheckedByTrailerAndCrc) {
    // Flash bytes changed by XOR with a mask.
    struct Flip {
        std::uint32_t address;
        std::uint8_t mask;
    };
    struct Case {
        const char* what;
        const char* entry;
        std::vector<Flip> flips;
        bool fixCrc;  // the CRC word of each bank made right again afterwards
        bool runs;
    };
    const Case cases[] = {
        {"both banks intact", "bridge:kind=12", {}, false, true},
        {"bank 0 code damaged: bank 1 starts", "bridge:kind=12", {{0x0100, 0x01}}, false, true},
        {"bank 1 code damaged: bank 0 starts", "bridge:kind=12", {{0x10100, 0x80}}, false, true},
        {"both damaged", "bridge:kind=12", {{0x0000, 0x01}, {0x10100, 0x01}}, false, false},
        {"last covered byte damaged in both", "bridge:kind=12", {{0xBFFB, 0x01}, {0x1BFFB, 0x01}}, false, false},
        {"bytes 0xBFFC, 0xBFFD are not covered", "bridge:kind=12", {{0xBFFC, 0x12}, {0x1BFFD, 0x34}}, false, true},
        {"NVRAM changes nothing", "bridge:kind=12", {{0xC000, 0xFF}, {0x1CFFF, 0xFF}}, false, true},
        {"CRC word damaged in both", "bridge:kind=12", {{0xBFFE, 0x01}, {0x1BFFF, 0x10}}, false, false},
        {"trailer signature damaged, CRC right", "bridge:kind=12", {{0xBFF3, 0x01}, {0x1BFF0, 0x01}}, true, false},
        {"trailer names 731, CRC right", "bridge:kind=12", {{0xBFF6, 0x04}, {0x1BFF6, 0x04}}, true, false},
        {"trailer revision changed, CRC right", "bridge:kind=12", {{0xBFF7, 0x07}, {0x1BFF7, 0x07}}, true, true},
        {"one bank only, damaged", "bridge:kind=12,flash=Pm25LV512", {{0x0100, 0x01}}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedHost host;
        CommandSession scoped(host);
        VirtualDevice& device = host.AddDevice(Parse(c.entry));
        Bytes& flash = *device.FlashContents();
        for (const Flip& flip : c.flips) flash[flip.address] ^= flip.mask;
        if (c.fixCrc) {
            for (std::size_t bank = 0; bank + 64 * KiB <= flash.size() && bank < 128 * KiB; bank += 64 * KiB) {
                const std::uint16_t crc = ImageCrc16(flash.data() + bank, 0xBFFC, 0);
                flash[bank + 0xBFFE] = static_cast<std::uint8_t>(crc >> 8);
                flash[bank + 0xBFFF] = static_cast<std::uint8_t>(crc);
            }
        }
        device.RestartBridge();
        const Kind12State state = Kind12After(device.path());
        EXPECT_EQ(c.runs, state.flag);
        EXPECT_EQ(c.runs ? 1 : 0, state.byte19);
    }
}

// The banks the enclosure ships with pass the tool's own bank check, so its
// recovery finds nothing to repair.
TEST(SimFirmware, Kind12ShippedBanksPassTheToolsBankCheck) {
    SimulatedHost host;
    CommandSession scoped(host);
    const std::string path = host.AddDevice(Parse("bridge:kind=12")).path();
    for (const std::uint32_t bank : {0u, 0x10000u}) {
        SCOPED_TRACE(bank);
        const Bytes image = ReadFlash(path, bank, 64 * KiB);
        EXPECT_EQ(1, BankImageValid(image.data(), 12));
    }
}

// A kind-12 bridge that runs its firmware from the disk does not look at its
// flash: the firmware there marks itself when status byte 19 says it is valid.
TEST(SimFirmware, Kind12FromTheDisk) {
    struct Case {
        const char* entry;
        int active;
    };
    const Case cases[] = {
        {"bridge:kind=12,hddfw=1", 1},
        {"bridge:kind=12,hddfw=1,firmware=blank", 1},
        {"bridge:kind=12,hddfw=1,fwvalid=0", 0},
        {"bridge:kind=12,hddfw=1,flash=none", 1},
        {"bridge:kind=12,hddfw=1,fwvalid=0,flash=none", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entry);
        SimulatedHost host;
        CommandSession scoped(host);
        const std::string path = host.AddDevice(Parse(c.entry)).path();
        EXPECT_EQ(c.active, FirmwareActive(path));
    }
}

// The disk copy is read at every start: a copy whose tag or CRC-32 does not
// hold (or that sits where the drive's geometry does not put it) is not run.
TEST(SimFirmware, Kind12ChecksItsDiskCopyAtEveryStart) {
    struct Case {
        const char* what;
        std::size_t offset;  // byte of the copy to change
        std::uint8_t value;
        int active;
    };
    const Case cases[] = {
        {"as shipped", 0, 0xFF, 1},
        {"a code byte changed", 0x1234, 0x00, 0},
        {"the CRC's low byte changed", 0xBFFC, 0x00, 0},
        {"the tag's chip code changed", 0xBFF4, '6', 0},
        {"the NVRAM changed", 0xC010, 0x42, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedHost host;
        CommandSession scoped(host);
        VirtualDevice& device = host.AddDevice(Parse("bridge:kind=12,hddfw=1,flash=none,disk=3T"));
        const std::string path = device.path();
        ASSERT_EQ(1, FirmwareActive(path));
        AttachedDisk& disk = *device.disk();
        std::uint64_t start = 0;
        ASSERT_TRUE(DiskFirmwareCopyStart(disk.sectors(), disk.blockSize(), start));
        EXPECT_EQ(((disk.sectors() - 1) & ~std::uint64_t{2047}) - 4096, start);
        Bytes copy(kDiskCopySize);
        ASSERT_TRUE(disk.Read(start, copy.size() / 512, copy.data()));
        EXPECT_EQ(Bytes({0x55, 0xAA, 0xAA, 0x55, '7', '3', '5', '1'}), Bytes(copy.begin() + 0xBFF0, copy.begin() + 0xBFF8));
        if (c.offset != 0) copy[c.offset] = c.value;
        ASSERT_TRUE(disk.Write(start, copy.size() / 512, copy.data()));
        host.PowerCycle(path);
        EXPECT_EQ(c.active, FirmwareActive(path));
        std::uint8_t status[20] = {};
        GetBridgeStatus(path, status, sizeof status);
        EXPECT_EQ(c.active, status[19]);
    }
}

TEST(SimFirmware, DefaultSimulationRunsFirmwareOnEveryBridge) {
    SimulatedHost host;
    CommandSession scoped(host);
    for (const DeviceConfig& config : DefaultSimulation()) {
        const VirtualDevice& device = host.AddDevice(config);
        if (!config.isBridge) continue;
        SCOPED_TRACE(device.path());
        EXPECT_EQ(1, FirmwareActive(device.path()));
    }
}

TEST(SimFirmware, BlankLeavesTheFlashAsFilled) {
    const DeviceConfig config = Parse("bridge:kind=11,flashfill=5A,firmware=blank");
    VirtualDevice device(config);
    const Bytes& flash = *device.FlashContents();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0x5A; }));
}

TEST(SimFirmware, KeyIsRefusedWhereItCannotHold) {
    struct Case {
        const char* text;
        const char* error;  // empty: accepted
    };
    const Case cases[] = {
        {"bridge:kind=8,firmware=maybe", "entry 1: firmware=maybe: expected valid or blank"},
        {"bridge:kind=8,firmware=VALID", ""},
        {"bridge:kind=14,firmware=valid", "entry 1: firmware=valid: the bridge has no flash"},
        {"bridge:kind=8,flash=none,firmware=blank", "entry 1: firmware=blank: the bridge has no flash"},
        {"bridge:kind=3,firmware=valid",
         "entry 1: firmware=valid: the simulator knows the flash firmware of kinds 4, 6, 8, 11, 12, "
         "13, 15 only"},
        {"bridge:kind=3,firmware=blank", ""},
        {"bridge:kind=3", ""},
        {"bridge:kind=14", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<DeviceConfig> devices;
        std::string error;
        const bool ok = ParseSimulationDescription(c.text, devices, error);
        EXPECT_EQ(std::string(c.error).empty(), ok);
        EXPECT_EQ(c.error, error);
    }
}

// image= wins over firmware=: the file, when there is one, is what the flash
// held at power-up; without one the shipped flash is kept and saved.
TEST(SimFirmware, ImageFileWins) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.File("kind8.img");
    const std::string valid = "bridge:kind=8,image=" + file;
    const std::string blank = valid + ",firmware=blank";
    Bytes shipped;
    {
        HostChoice choice = ChooseHost(valid.c_str());
        ASSERT_NE(nullptr, choice.host) << choice.error;
        CommandSession scoped(*choice.host);
        EXPECT_EQ(1, FirmwareActive("/dev/sdb"));
        shipped = test::ReadWholeFile(file);
        EXPECT_TRUE(shipped.empty()) << "nothing is written before the program saves";
        std::string error;
        ASSERT_TRUE(SaveSimulatedStores(*choice.host, error)) << error;
    }
    shipped = test::ReadWholeFile(file);
    ASSERT_EQ(1024 * KiB, shipped.size());
    {
        HostChoice choice = ChooseHost(blank.c_str());
        ASSERT_NE(nullptr, choice.host) << choice.error;
        CommandSession scoped(*choice.host);
        EXPECT_EQ(1, FirmwareActive("/dev/sdb")) << "the firmware in the file runs";
    }
    test::WriteWholeFile(file, Bytes(shipped.size(), 0xFF));
    {
        HostChoice choice = ChooseHost(valid.c_str());
        ASSERT_NE(nullptr, choice.host) << choice.error;
        CommandSession scoped(*choice.host);
        EXPECT_EQ(0, FirmwareActive("/dev/sdb")) << "an erased flash in the file";
    }
}

}  // namespace
}  // namespace v62x::sim
