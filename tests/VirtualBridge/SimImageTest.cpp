// Image files that keep a device's firmware store between runs: loaded when
// attached, written back when the program saves them at its end, refused
// when they do not fit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "cli/HostChoice.h"
#include "VirtualBridge/SimulatedHost.h"
#include "support/SimBench.h"
#include "IDEAccess/UniqueFd.h"

namespace v62x::sim {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Pattern;

constexpr std::uint64_t kSectors = 100000;
constexpr std::uint64_t kReserved = 2048;  // 1 MiB
constexpr std::size_t kStoreBytes = kReserved * 512;

DeviceConfig DiskFirmwareBridge() {
    DeviceConfig config;
    std::string why;
    EXPECT_TRUE(AnswersForKind(14, 1, {}, config.answers, why)) << why;
    DiskConfig disk;
    disk.sectors = kSectors;
    disk.reservedBlocks = kReserved;
    config.disk = disk;
    return config;
}

HostReply Command(Host& host, const std::string& path, const Bytes& cdb, DataDirection direction,
                  Bytes data = {}) {
    return test::Send(host, path, cdb, direction, std::move(data), HostRequest{}.timeoutSeconds,
                      direction == DataDirection::Out ? OpenMode::Exclusive : OpenMode::Shared)
        .reply;
}

TEST(SimImage, ReservedAreaSurvivesFromOneHostToTheNext) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.File("bridge.img");
    const Bytes first = Pattern(2 * 512, 3);
    {
        SimulatedHost host;
        VirtualDevice& device = host.AddDevice(DiskFirmwareBridge());
        std::string error;
        ASSERT_TRUE(host.AttachImage(device.path(), file, error)) << error;
        EXPECT_FALSE(fs::exists(file)) << "nothing is written before the program saves";
        ASSERT_TRUE(device.disk()->Write(kSectors - kReserved, 2, first.data()));
        ASSERT_TRUE(device.disk()->Write(kSectors - kReserved - 1, 1, first.data()))
            << "a host-visible block, not part of the store";
        ASSERT_TRUE(host.SaveImages(error)) << error;
    }
    Bytes expected(kStoreBytes, 0);
    std::copy(first.begin(), first.end(), expected.begin());
    EXPECT_EQ(expected, test::ReadWholeFile(file));
    EXPECT_EQ(std::vector<std::string>{"bridge.img"}, dir.Names()) << "no temporary file left";

    const Bytes second = Pattern(512, 9);
    {
        SimulatedHost host;
        VirtualDevice& device = host.AddDevice(DiskFirmwareBridge());
        std::string error;
        ASSERT_TRUE(host.AttachImage(device.path(), file, error)) << error;
        Bytes back(2 * 512);
        device.disk()->Read(kSectors - kReserved, 2, back.data());
        EXPECT_EQ(first, back);
        device.disk()->Write(kSectors - 1, 1, second.data());
        ASSERT_TRUE(host.SaveImages(error)) << error;
        std::copy(second.begin(), second.end(), expected.end() - 512);
        EXPECT_EQ(expected, test::ReadWholeFile(file));
    }
}

TEST(SimImage, FlashChipIsTheStoreWhereThereIsOne) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.File("flash.img");
    DeviceConfig config = DiskFirmwareBridge();  // a disk with a reserved area, and ...
    std::string why;
    ASSERT_TRUE(SetFlashPart(config.flash, "W25X10", why)) << why;  // ... a 128 KiB flash chip
    {
        SimulatedHost host;
        VirtualDevice& device = host.AddDevice(config);
        ASSERT_NE(nullptr, device.FlashContents());
        ASSERT_EQ(131072u, device.FlashContents()->size());
        test::WriteWholeFile(file, Bytes(kStoreBytes, 0));
        std::string error;
        EXPECT_FALSE(host.AttachImage(device.path(), file, error)) << "the disk area is not the store";
        fs::remove(file);
        ASSERT_TRUE(host.AttachImage(device.path(), file, error)) << error;
        (*device.FlashContents())[0x1234] = 0x42;
        ASSERT_TRUE(host.SaveImages(error)) << error;
    }
    Bytes expected(131072, 0xFF);
    expected[0x1234] = 0x42;
    ASSERT_EQ(expected, test::ReadWholeFile(file));

    expected[0] = 0x00;
    test::WriteWholeFile(file, expected);
    SimulatedHost host;
    VirtualDevice& device = host.AddDevice(config);
    std::string error;
    ASSERT_TRUE(host.AttachImage(device.path(), file, error)) << error;
    EXPECT_EQ(expected, *device.FlashContents());
}

TEST(SimImage, RefusedImagesAreLeftAlone) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string small = dir.File("small.img");
    const Bytes smallBytes = Pattern(1000, 1);
    test::WriteWholeFile(small, smallBytes);
    const std::string taken = dir.File("taken.img");
    fs::create_directory(dir.File("folder"));

    SimulatedHost host;
    const std::string bridge = host.AddDevice(DiskFirmwareBridge()).path();
    const std::string second = host.AddDevice(DiskFirmwareBridge()).path();
    DeviceConfig stick;
    stick.isBridge = false;
    stick.disk = DiskConfig{};
    const std::string plain = host.AddDevice(stick).path();
    std::string error;
    ASSERT_TRUE(host.AttachImage(second, taken, error)) << error;

    struct Case {
        std::string path;
        std::string file;
        std::string error;
    };
    const Case cases[] = {
        {bridge, small,
         "image " + small + " holds 1000 bytes, but the firmware store of " + bridge + " holds " +
             std::to_string(kStoreBytes) + " bytes"},
        {plain, dir.File("plain.img"),
         "image " + dir.File("plain.img") + ": " + plain +
             " has no firmware store (neither a flash chip nor a reserved disk area)"},
        {bridge, taken, "image " + taken + " is the image of " + second + " already"},
        {second, dir.File("other.img"),
         "image " + dir.File("other.img") + ": " + second + " keeps its store in " + taken + " already"},
        {"/dev/sdq", dir.File("q.img"), "image " + dir.File("q.img") + ": no simulated device /dev/sdq"},
        {bridge, dir.File("folder"), "image " + dir.File("folder") + " is a folder, not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string why;
        EXPECT_FALSE(host.AttachImage(c.path, c.file, why));
        EXPECT_EQ(c.error, why);
    }
    ASSERT_TRUE(host.SaveImages(error)) << error;
    EXPECT_EQ(smallBytes, test::ReadWholeFile(small)) << "a refused image is never written";
    EXPECT_FALSE(fs::exists(dir.File("plain.img")));
    EXPECT_EQ(kStoreBytes, test::ReadWholeFile(taken).size());
}

TEST(SimImage, SaveReportsAnImageThatCannotBeWritten) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string sub = dir.File("gone");
    fs::create_directory(sub);
    const std::string file = (fs::path(sub) / "bridge.img").string();
    SimulatedHost host;
    const std::string path = host.AddDevice(DiskFirmwareBridge()).path();
    std::string error;
    ASSERT_TRUE(host.AttachImage(path, file, error)) << error;
    fs::remove(sub);
    EXPECT_FALSE(host.SaveImages(error));
    EXPECT_NE(std::string::npos, error.find("cannot create a temporary file for image " + file)) << error;
    host.DetachImages();
}

TEST(SimImage, TheDescriptionsImageIsLoadedOrTheProgramDoesNotStart) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.File("kind14.img");
    const std::string fresh = dir.File("fresh.img");
    const std::string description = "bridge:kind=14,disk=100000s,reserved=1MiB,image=" + fresh +
                                    ";bridge:kind=14,disk=100000s,reserved=1MiB,image=" + file;

    // A wrong size: no host, and neither file is written.
    const Bytes wrong(512, 0x42);
    test::WriteWholeFile(file, wrong);
    HostChoice refused = ChooseHost(description.c_str());
    EXPECT_EQ(nullptr, refused.host);
    EXPECT_EQ("image " + file + " holds 512 bytes, but the firmware store of /dev/sdc holds " +
                  std::to_string(kStoreBytes) + " bytes",
              refused.error);
    EXPECT_EQ(wrong, test::ReadWholeFile(file));
    EXPECT_FALSE(fs::exists(fresh));

    Bytes stored(kStoreBytes, 0);
    stored[7] = 0x77;
    test::WriteWholeFile(file, stored);
    {
        HostChoice choice = ChooseHost(description.c_str());
        ASSERT_NE(nullptr, choice.host) << choice.error;
        auto* host = dynamic_cast<SimulatedHost*>(choice.host.get());
        ASSERT_NE(nullptr, host);
        Bytes block(512);
        host->Find("/dev/sdc")->disk()->Read(kSectors - kReserved, 1, block.data());
        EXPECT_EQ(0x77, block[7]);
        std::string error;
        ASSERT_TRUE(SaveSimulatedStores(*choice.host, error)) << error;
    }
    EXPECT_EQ(stored, test::ReadWholeFile(file));
    EXPECT_EQ(kStoreBytes, test::ReadWholeFile(fresh).size()) << "a missing image is created at the end";
}

// The cable pulled half-way through an erase or program: the store saved at
// the program's end, and found at the next start, holds the front half of
// the unit done and the rest as it was.
TEST(SimImage, CutLeavesTheBusyUnitHalfDone) {
    constexpr std::uint32_t KiB = 1024;
    const Bytes kRomSwitch = {0xFF, 0x04, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* name;
        const char* description;
        std::uint32_t storeSize;
        std::uint8_t before;  // every store byte at the first start
        std::uint8_t after;   // what the operation leaves in its unit
        std::uint32_t base;   // the unit
        std::uint32_t size;
        // Starts the operation; its busy time in microseconds.
        std::function<std::uint64_t(SimulatedHost&, VirtualDevice&)> start;
    };
    const Case cases[] = {
        {"parallel chip erase through the ROM loader", "bridge:kind=2", 64 * KiB, 0x00, 0xFF, 0,
         64 * KiB,
         [&](SimulatedHost& host, VirtualDevice& device) -> std::uint64_t {
             Command(host, device.path(), kRomSwitch, DataDirection::Out);
             const Bytes sequence = {0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0x55, 0x55, 0xAA,
                                     0x2A, 0x55, 0x55, 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
             Command(host, device.path(), {0xFF, 0x04, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                     DataDirection::Out, sequence);
             EXPECT_TRUE(Command(host, device.path(), {0xFF, 0x04, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                 DataDirection::Out).completed);
             return device.parallelFlash()->part().chipEraseUs;
         }},
        {"parallel flash programmed by the ROM code", "bridge:kind=2", 64 * KiB, 0xFF, 0x00, 0,
         64 * KiB,
         [&](SimulatedHost& host, VirtualDevice& device) -> std::uint64_t {
             Command(host, device.path(), kRomSwitch, DataDirection::Out);
             EXPECT_TRUE(Command(host, device.path(),
                                 {0xFF, 0x04, 0x02, 0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0xAA, 0x55, 0xA0},
                                 DataDirection::Out, Bytes(64 * KiB, 0x00))
                             .completed);
             // One byte program and the ROM code's bus cycles per byte.
             return 64 * KiB * std::uint64_t{device.parallelFlash()->part().byteProgramUs + 2};
         }},
        {"serial sector erase", "bridge:kind=12", 128 * KiB, 0x00, 0xFF, 64 * KiB, 4 * KiB,
         [](SimulatedHost&, VirtualDevice& device) -> std::uint64_t {
             SerialFlash& chip = *device.serialFlash();
             chip.Transact({0x06}, 0);
             chip.Transact({0x20, 0x01, 0x00, 0x00}, 0);
             return chip.part().eraseUnits.front().busyUs;
         }},
        {"serial page program", "bridge:kind=12", 128 * KiB, 0xFF, 0x00, 8 * KiB, 256,
         [](SimulatedHost&, VirtualDevice& device) -> std::uint64_t {
             SerialFlash& chip = *device.serialFlash();
             chip.Transact({0x06}, 0);
             Bytes program = {0x02, 0x00, 0x20, 0x00};
             program.resize(4 + 256, 0x00);
             chip.Transact(program, 0);
             return chip.part().programUs;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScratchDir dir;
        ASSERT_TRUE(dir.ok());
        const std::string file = dir.File("store.img");
        const std::string description = std::string(c.description) + ",image=" + file;
        test::WriteWholeFile(file, Bytes(c.storeSize, c.before));
        {
            HostChoice choice = ChooseHost(description.c_str());
            ASSERT_NE(nullptr, choice.host) << choice.error;
            auto& host = dynamic_cast<SimulatedHost&>(*choice.host);
            VirtualDevice& device = *host.Devices().front();
            const std::uint64_t busyUs = c.start(host, device);
            host.Clock().Advance(busyUs / 2);
            host.AddFault({device.path(), {}, 0, FaultKind::Cut});
            EXPECT_EQ(ENOENT, Command(host, device.path(), {0, 0, 0, 0, 0, 0}, DataDirection::In).openError);
            std::string error;
            ASSERT_TRUE(SaveSimulatedStores(host, error)) << error;
        }
        HostChoice next = ChooseHost(description.c_str());
        ASSERT_NE(nullptr, next.host) << next.error;
        const Bytes store = *dynamic_cast<SimulatedHost&>(*next.host).Devices().front()->FlashContents();
        ASSERT_EQ(c.storeSize, store.size());
        std::uint32_t done = 0;
        while (done < c.size && store[c.base + done] == c.after) ++done;
        EXPECT_GE(done, c.size * 45 / 100);
        EXPECT_LE(done, c.size * 55 / 100);
        for (std::uint32_t i = 0; i < c.storeSize; ++i) {
            if (i >= c.base && i < c.base + done) continue;
            ASSERT_EQ(c.before, store[i]) << "byte " << i << " of " << done << " done";
        }
    }
}

// Another program on the same image (here: a lock taken through a
// descriptor of the test's own) makes the bridge busy: claims and exclusive
// opens are refused and listed, shared opens work, and the refused program
// writes nothing back. A claim of this host's locks the others out in turn.
TEST(SimImage, ClaimsLockTheImageFile) {
    test::ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.File("kind8.img");
    const std::string description = "bridge:kind=8,image=" + file + ";bridge:kind=3";
    const Bytes vendorOn = {0xFF, 0x04, 0x56, 0x52, 0x55, 0, 0, 0, 0, 0, 0, 0};
    const Bytes inquiry = {0x12, 0, 0, 0, 36, 0};
    {
        HostChoice first = ChooseHost(description.c_str());
        ASSERT_NE(nullptr, first.host) << first.error;
        std::string error;
        ASSERT_TRUE(SaveSimulatedStores(*first.host, error)) << error;
    }
    struct stat written {};
    ASSERT_EQ(0, ::stat(file.c_str(), &written));

    HostChoice choice = ChooseHost(description.c_str());
    ASSERT_NE(nullptr, choice.host) << choice.error;
    Host& host = *choice.host;
    const std::string bridge = "/dev/sdb";
    const auto exclusive = [&](const std::string& path) {
        return Command(host, path, vendorOn, DataDirection::Out);
    };
    const auto otherLocks = [&](const UniqueFd& fd) { return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0; };
    {
        const UniqueFd other(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(other.valid());
        ASSERT_TRUE(otherLocks(other));
        EXPECT_EQ(EBUSY, host.ClaimDevice(bridge));
        const HostReply refused = exclusive(bridge);
        EXPECT_FALSE(refused.opened);
        EXPECT_EQ(EBUSY, refused.openError);
        exclusive(bridge);
        EXPECT_EQ(std::vector<std::string>{bridge}, host.TakeBusyRefusals());
        EXPECT_TRUE(host.TakeBusyRefusals().empty()) << "read once";
        EXPECT_TRUE(Command(host, bridge, inquiry, DataDirection::In, Bytes(36)).completed)
            << "a shared open still works";
        EXPECT_EQ(0, host.ClaimDevice("/dev/sdc")) << "a bridge without image is claimed here only";
        EXPECT_EQ(0, host.ClaimDevice("/dev/sdc"));
        EXPECT_EQ(ENOENT, host.ClaimDevice("/dev/sdq"));
        std::string error;
        ASSERT_TRUE(SaveSimulatedStores(host, error)) << error;
        struct stat after {};
        ASSERT_EQ(0, ::stat(file.c_str(), &after));
        EXPECT_EQ(written.st_ino, after.st_ino) << "the refused program wrote nothing back";
    }

    ASSERT_EQ(0, host.ClaimDevice(bridge));
    EXPECT_EQ(0, host.ClaimDevice(bridge)) << "held already";
    EXPECT_TRUE(exclusive(bridge).completed) << "the claim's own requests go through it";
    const UniqueFd other(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(other.valid());
    EXPECT_FALSE(otherLocks(other)) << "the claim locks other programs out";
    host.ReleaseDevice(bridge);
    EXPECT_TRUE(otherLocks(other)) << "until it is released";
    EXPECT_TRUE(host.TakeBusyRefusals().empty());
}

}  // namespace
}  // namespace v62x::sim
