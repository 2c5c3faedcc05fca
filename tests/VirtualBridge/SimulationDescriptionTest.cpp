// The V62X_SIMULATE description: what each entry builds (down to the kind
// and revision the tool's identification finds) and every refusal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"
#include "cli/HostChoice.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "IDEAccess/UniqueFd.h"
#include "support/ScratchDir.h"

namespace v62x::sim {
namespace {

// Kind and revision the tool identifies on a device built from config.
std::pair<int, int> Identify(const DeviceConfig& config) {
    SimulatedHost host;
    CommandSession scoped(host);
    SetMessageNotifier([](const OperatorMessage& m) { ADD_FAILURE() << m.text; });
    const std::uint16_t id = IdentifyChip(host.AddDevice(config).path());
    SetMessageNotifier({});
    return {ChipKindOf(id), ChipRevisionOf(id)};
}

TEST(SimDescription, BridgeEntriesIdentifyAsDescribed) {
    struct Case {
        const char* text;
        int kind;
        int revision;
    };
    const Case cases[] = {
        {"bridge:kind=3", 3, 1},
        {"bridge:kind=3,rev=4", 3, 4},
        {"  bridge : kind = 4 , rev = 7 ", 4, 7},
        {"BRIDGE:KIND=13,REV=2", 13, 2},
        {"bridge:kind=16", 16, 0},
        {"bridge:kind=17", 17, 0},
        {"bridge:kind=20", 20, 0},
        {"bridge:kind=15,rev=3", 15, 3},
        {"bridge:kind=15,rev=3,inqtag=1", 15, 3},
        {"bridge:kind=11,rev=5", 11, 5},
        {"bridge:kind=11,rev=5,inqtag=1", 11, 5},
        {"bridge:kind=11,inqtag=1", 11, 0},
        {"bridge:kind=2,inqtag=1", 2, 0},
        {"bridge:kind=7,rev=2,chipinfo=12", 7, 2},
        {"bridge:chip=620", 1, 1},
        {"bridge:chip=621", 2, 1},
        {"bridge:chip=622", 3, 1},
        {"bridge:chip=623", 17, 1},
        {"bridge:chip=623,rev=6", 17, 6},
        {"bridge:chip=623,inqtag=1", 17, 0},
        {"bridge:chip=624", 4, 1},
        {"bridge:chip=614", 5, 1},
        {"bridge:chip=641,rev=3", 6, 3},
        {"bridge:chip=642", 7, 1},
        {"bridge:chip=644", 8, 1},
        {"bridge:chip=644,inqtag=1", 8, 0},
        {"bridge:chip=645,rev=9", 8, 9},
        {"bridge:chip=646", 10, 1},
        {"bridge:chip=751", 11, 1},
        {"bridge:chip=735", 12, 1},
        {"bridge:chip=715", 13, 1},
        {"bridge:chip=705", 14, 1},
        {"bridge:chip=624,kind=15,rev=2", 15, 2},
        {"bridge:chip=622,kind=16", 16, 0},
        {"bridge:kind=20,chip=621", 20, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<DeviceConfig> devices;
        std::string error;
        ASSERT_TRUE(ParseSimulationDescription(c.text, devices, error)) << error;
        ASSERT_EQ(1u, devices.size());
        EXPECT_TRUE(devices[0].isBridge);
        EXPECT_EQ(std::make_pair(c.kind, c.revision), Identify(devices[0]));
    }
}

TEST(SimDescription, DeviceKeys) {
    std::vector<DeviceConfig> devices;
    std::string error;
    ASSERT_TRUE(ParseSimulationDescription(
        "bridge:kind=8,bus=1394,class=cdrom,vendor=Acme,product=Box With A Long Name Here,"
        "chipinfo=12,stuck506a=1,mount=/media/one+/media/two,denied=1,inqtag=1;"
        ";  ;disk;disk:vendor=Stick Co. Ltd,product=Pen,bus=usb,class=disk,mount=/mnt/pen,denied=0;"
        "bridge:kind=3",
        devices, error))
        << error;
    ASSERT_EQ(4u, devices.size());
    const DeviceConfig& b = devices[0];
    EXPECT_TRUE(b.isBridge);
    EXPECT_EQ(Bus::Ieee1394, b.bus);
    EXPECT_EQ(DeviceClass::CdRom, b.cls);
    EXPECT_EQ("Acme    ", b.vendor);
    EXPECT_EQ("Box With A Long ", b.product);
    EXPECT_EQ(12u, b.answers.chipInfoLength);
    EXPECT_TRUE(b.stuck506A);
    EXPECT_EQ((std::vector<std::string>{"/media/one", "/media/two"}), b.mountPoints);
    EXPECT_TRUE(b.permissionDenied);
    EXPECT_TRUE(b.answers.inquiryTag.has_value());
    EXPECT_TRUE(b.path.empty()) << "the host names the device";

    const DeviceConfig& plain = devices[1];
    EXPECT_FALSE(plain.isBridge);
    EXPECT_EQ(Bus::Usb, plain.bus);
    EXPECT_EQ(DeviceClass::Disk, plain.cls);
    EXPECT_TRUE(plain.mountPoints.empty());
    EXPECT_FALSE(plain.permissionDenied);

    const DeviceConfig& stick = devices[2];
    EXPECT_FALSE(stick.isBridge);
    EXPECT_EQ("Stick Co", stick.vendor);
    EXPECT_EQ("Pen             ", stick.product);
    EXPECT_EQ((std::vector<std::string>{"/mnt/pen"}), stick.mountPoints);

    const DeviceConfig& last = devices[3];
    EXPECT_EQ(Bus::Usb, last.bus);
    EXPECT_EQ(DeviceClass::Disk, last.cls);
    EXPECT_FALSE(last.stuck506A);
    EXPECT_FALSE(last.answers.inquiryTag.has_value());
    EXPECT_EQ(16u, last.answers.chipInfoLength);
}

TEST(SimDescription, RefusesWithEntryKeyAndValue) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"bridge:kind=3;bridge:kind=9",
         "entry 2: kind=9: no chip identifies as kind 9 (a 644/645 chip identifies as kind 8)"},
        {"bridge:kind=0", "entry 1: kind=0: no chip identifies as kind 0 (kinds are 1..20)"},
        {"bridge:kind=21", "entry 1: kind=21: no chip identifies as kind 21 (kinds are 1..20)"},
        {"bridge:kind=x", "entry 1: kind=x: expected a kind 1..20"},
        {"bridge:kind=", "entry 1: kind=: expected a kind 1..20"},
        {"bridge:kind=3,rev=10", "entry 1: rev=10: expected a number 0..9"},
        {"bridge:kind=3,rev=0", "entry 1: rev=0: a 622 chip reports revision 1 or higher"},
        {"bridge:kind=16,rev=1",
         "entry 1: rev=1: kind 16 is told by the chip ID word only and always has revision 0"},
        {"bridge:kind=7,rev=3", "entry 1: rev=3: a 642 chip reports revision 1 or 2 only"},
        {"bridge:kind=2,rev=3,inqtag=1",
         "entry 1: inqtag=1: with the chip code in INQUIRY a 621 chip reports revision 0 only "
         "(nothing else tells its revision)"},
        {"bridge:kind=19,inqtag=1",
         "entry 1: inqtag=1: with the chip code in INQUIRY, code 620 identifies as an earlier kind, "
         "never as kind 19"},
        {"bridge:chip=999",
         "entry 1: chip=999: not a chip code of the family (620, 621, 622, 623, 624, 614, 641, 642, "
         "644, 645, 646, 751, 735, 715, 705)"},
        {"bridge:chip=620,kind=4", "entry 1: kind=4: a 620 chip identifies as kind 1, not 4"},
        {"bridge", "entry 1: bridge: a bridge needs kind=1..20 or chip=CODE"},
        {"bridge:rev=2", "entry 1: bridge: a bridge needs kind=1..20 or chip=CODE"},
        {"bridge:kind=3,bus=scsi", "entry 1: bus=scsi: expected usb or 1394"},
        {"bridge:kind=3,class=tape", "entry 1: class=tape: expected disk or cdrom"},
        {"bridge:kind=3,inqtag=yes", "entry 1: inqtag=yes: expected 0 or 1"},
        {"bridge:kind=3,stuck506a=2", "entry 1: stuck506a=2: expected 0 or 1"},
        {"bridge:kind=3,denied=true", "entry 1: denied=true: expected 0 or 1"},
        {"bridge:kind=3,chipinfo=8", "entry 1: chipinfo=8: expected 12 or 16"},
        {"bridge:kind=3,maxtransfer=100", "entry 1: maxtransfer=100: expected a size in bytes from 512 to 16MiB, such as 120KiB"},
        {"disk:maxtransfer=64s", "entry 1: maxtransfer=64s: expected a size in bytes from 512 to 16MiB, such as 120KiB"},
        {"bridge:kind=3,mount=media", "entry 1: mount=media: mount points are absolute paths joined by '+'"},
        {"bridge:kind=3,mount=/a+", "entry 1: mount=/a+: mount points are absolute paths joined by '+'"},
        {"bridge:kind=3,vendor=\x01" "x", "entry 1: vendor=\\x01x: only printable ASCII characters are allowed"},
        {"bridge:kind=3,kind=4", "entry 1: kind=4: kind is given twice"},
        {"bridge:kind=3,rev", "entry 1: rev: expected key=value"},
        {"bridge:kind=3,colour=red",
         "entry 1: colour=red: unknown key (bridge keys: kind, chip, rev, bus, class, vendor, product, "
         "inqtag, chipinfo, stuck506a, mount, denied, disk, blocksize, reserved, fwarea, hddfw, "
         "capflag, fwvalid, image, flash, flashfill, firmware, maxtransfer, fault)"},
        {"disk;disk:kind=3",
         "entry 2: kind=3: not a key of a disk entry (disk keys: bus, class, vendor, product, mount, "
         "denied, disk, blocksize, maxtransfer, fault)"},
        {"disk:stuck506a=1",
         "entry 1: stuck506a=1: not a key of a disk entry (disk keys: bus, class, vendor, product, "
         "mount, denied, disk, blocksize, maxtransfer, fault)"},
        {"disk;;tape:bus=usb", "entry 3: tape: not an entry type (bridge or disk)"},
        {"disk; kind=3", "entry 2: kind=3: not an entry type (bridge or disk)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<DeviceConfig> devices(1);
        std::string error;
        EXPECT_FALSE(ParseSimulationDescription(c.text, devices, error));
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(1u, devices.size()) << "the output is left alone on failure";
    }
}

TEST(SimDescription, DefaultAndEmptyDescriptions) {
    std::vector<DeviceConfig> devices;
    std::string error;
    ASSERT_TRUE(ParseSimulationDescription(" default ", devices, error)) << error;
    EXPECT_EQ(DefaultSimulation().size(), devices.size());
    ASSERT_TRUE(ParseSimulationDescription(" ; ", devices, error)) << error;
    EXPECT_TRUE(devices.empty());
}

TEST(SimDescription, DefaultSimulationIsABelievableSet) {
    SimulatedHost host;
    for (const DeviceConfig& config : DefaultSimulation()) host.AddDevice(config);
    const std::vector<Candidate> disks = host.ListCandidates(DeviceClass::Disk);
    const std::vector<Candidate> cdroms = host.ListCandidates(DeviceClass::CdRom);
    ASSERT_EQ(5u, disks.size());
    ASSERT_EQ(1u, cdroms.size());
    EXPECT_EQ(Bus::Ieee1394, disks[2].bus);
    EXPECT_EQ(2u + 1u, host.ListMountedVolumes().size());

    std::vector<std::pair<int, int>> kinds;
    for (const DeviceConfig& config : DefaultSimulation()) kinds.push_back(Identify(config));
    EXPECT_EQ((std::vector<std::pair<int, int>>{{8, 2}, {3, 1}, {7, 2}, {12, 1}, {0, 0}, {14, 1}}), kinds);

    // Every disk-class device carries a disk; the kind-14 bridge keeps its
    // firmware in a reserved area beyond the end its host sees.
    for (VirtualDevice* device : host.Devices()) {
        SCOPED_TRACE(device->path());
        EXPECT_EQ(device->config().cls == DeviceClass::Disk, device->disk() != nullptr);
    }
    const VirtualDevice& kind14 = *host.Devices().back();
    ASSERT_NE(nullptr, host.Devices().back()->disk());
    EXPECT_GT(host.Devices().back()->disk()->reservedBlocks(), 0u);
    EXPECT_EQ(0xD0, kind14.config().answers.statusRecord[8]);
}

// Descriptions and image files that once crashed, hung or flooded the
// terminal: each is refused at once with a clear message.
TEST(SimDescription, HostileDescriptionsAndImagesAreRefusedCleanly) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string fifo = dir.File("fifo\x1b.img");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::string huge = dir.File("huge.img");
    {
        const UniqueFd fd(::open(huge.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(0, ::ftruncate(fd.get(), off_t{1} << 32));  // sparse: nothing is written
    }
    std::filesystem::create_directory(dir.File("folder"));
    std::string many;
    for (int i = 0; i < 64; ++i) many += "disk;";

    const std::string kind14 = "bridge:kind=14,disk=100000s,reserved=1MiB,image=";
    struct Case {
        std::string description;
        std::string error;
    };
    const Case cases[] = {
        {"bridge:kind=14,reserved=100G,image=" + dir.File("big.img"),
         "image " + dir.File("big.img") + ": the firmware store of /dev/sdb holds 100000000000 "
         "bytes; a store kept in a file holds at most 67108864 bytes (64 MiB)"},
        {kind14 + huge, "image " + huge + " holds 4294967296 bytes, but the firmware store of "
                        "/dev/sdb holds 1048576 bytes"},
        {kind14 + fifo, "image " + dir.File("fifo\\x1b.img") + " is a FIFO, not a regular file"},
        {kind14 + dir.File("folder"), "image " + dir.File("folder") + " is a folder, not a regular file"},
        {kind14 + "/dev/null", "image /dev/null is a device node, not a regular file"},
        {many, ""},
        {many + ";disk", "entry 66: a description holds at most 64 devices"},
        {"bridge:kind=3,vendor=\x1b[2J", "entry 1: vendor=\\x1b[2J: only printable ASCII characters are allowed"},
        {"bridge:kind=3,bus=" + std::string(100, 'u'),
         "entry 1: bus=" + std::string(40, 'u') + "...: expected usb or 1394"},
        {"\a" + std::string(100, 'x'),
         "entry 1: \\x07" + std::string(39, 'x') + "...: not an entry type (bridge or disk)"},
        {"disk:colour" + std::string(50, 'x') + "=1",
         "entry 1: colour" + std::string(34, 'x') + "...=1: unknown key (disk keys: bus, class, "
         "vendor, product, mount, denied, disk, blocksize, maxtransfer, fault)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description.substr(0, 80));
        const HostChoice choice = ChooseHost(c.description.c_str());
        EXPECT_EQ(c.error.empty(), choice.host != nullptr);
        EXPECT_EQ(c.error, choice.error);
    }
}

}  // namespace
}  // namespace v62x::sim
