// The Linux host on a fake machine: libudev enumeration, sysfs lookups, the
// device monitor and SG_IO through the real code paths, with a virtual
// bridge of the simulator answering behind the fake device nodes.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "FakeTestbed.h"
#include "Fwupdate/DeviceRefresh.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/LinuxHost.h"
#include "PlatformEnvironment.h"
#include "VirtualBridge/VirtualDevice.h"

namespace v62x::platform {
namespace {

constexpr std::uint32_t Number(unsigned major, unsigned minor) { return (major << 20) | minor; }

sim::DeviceConfig BridgeConfig() {
    sim::DeviceConfig config;
    std::string why;
    EXPECT_TRUE(sim::AnswersForKind(8, 2, {}, config.answers, why)) << why;
    return config;
}

sim::DeviceConfig PlainDiskConfig() {
    sim::DeviceConfig config;
    config.isBridge = false;
    config.vendor = "Generic ";
    config.product = "Flash Disk      ";
    return config;
}

bool Readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

HostRequest Inquiry(const std::string& path, std::uint8_t* buffer, std::uint32_t length) {
    HostRequest request;
    request.path = path;
    request.cdb = {0x12, 0, 0, 0, static_cast<std::uint8_t>(length), 0};
    request.cdbLength = 6;
    request.direction = DataDirection::In;
    request.data = buffer;
    request.length = length;
    return request;
}

// A vendor data-in command that only a bridge understands.
HostRequest VendorRead(const std::string& path, std::uint8_t* buffer, std::uint32_t length) {
    HostRequest request;
    request.path = path;
    request.cdb = {0xDF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFE};
    request.cdbLength = 12;
    request.direction = DataDirection::In;
    request.data = buffer;
    request.length = length;
    return request;
}

class LinuxHostPlatform : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UnavailableReason().empty()) {
            GTEST_SKIP() << "platform tests need the umockdev preload and a private /dev: "
                         << UnavailableReason();
        }
        // The test bed comes first: a udev context made before it would
        // see the real system.
        testbed_ = std::make_unique<FakeTestbed>();
        ASSERT_TRUE(testbed_->ok()) << testbed_->error();
        for (const char* node : {"/dev/sg1", "/dev/sdc", "/dev/sg3", "/dev/sr0"}) {
            ASSERT_TRUE(testbed_->AttachSgIo(node)) << testbed_->error();
        }
        testbed_->router().Route("/dev/sg1", &bridge_);
        testbed_->router().Route("/dev/sdc", &uasDisk_);
        testbed_->router().Route("/dev/sg3", &ieee1394Disk_);
        testbed_->router().Route("/dev/sr0", &cdrom_);
        host_ = std::make_unique<LinuxHost>();
    }

    void TearDown() override {
        host_.reset();  // udev context and monitor go before the test bed
        testbed_.reset();
    }

    sim::VirtualDevice bridge_{BridgeConfig()};
    sim::VirtualDevice uasDisk_{PlainDiskConfig()};
    sim::VirtualDevice ieee1394Disk_{PlainDiskConfig()};
    sim::VirtualDevice cdrom_{PlainDiskConfig()};
    std::unique_ptr<FakeTestbed> testbed_;
    std::unique_ptr<LinuxHost> host_;
};

TEST_F(LinuxHostPlatform, ListsCandidatesBehindUsbAndIeee1394StorageDrivers) {
    struct Case {
        DeviceClass cls;
        std::vector<std::pair<std::string, Bus>> expected;
    };
    // udev's order; the SCSI generic node wherever the disk has one; the
    // SATA disk and the partition are never candidates.
    const std::vector<Case> cases = {
        {DeviceClass::Disk,
         {{"/dev/sg1", Bus::Usb}, {"/dev/sdc", Bus::Usb}, {"/dev/sg3", Bus::Ieee1394}}},
        {DeviceClass::CdRom, {{"/dev/sr0", Bus::Usb}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cls == DeviceClass::Disk ? "disk class" : "CD-ROM class");
        std::vector<std::pair<std::string, Bus>> listed;
        for (const Candidate& candidate : host_->ListCandidates(c.cls)) {
            listed.emplace_back(candidate.path, candidate.bus);
        }
        EXPECT_EQ(c.expected, listed);
    }
}

TEST_F(LinuxHostPlatform, DeviceNumberNamesTheWholeDisk) {
    struct Case {
        const char* path;
        bool ok;
        StorageDeviceNumber expected;
    };
    const std::vector<Case> cases = {
        {"/dev/sdb", true, {kDeviceTypeDisk, Number(8, 16), 0}},
        {"/dev/sdb1", true, {kDeviceTypeDisk, Number(8, 16), 1}},
        {"/dev/sg1", true, {kDeviceTypeDisk, Number(8, 16), 0}},
        {"/dev/sg3", true, {kDeviceTypeDisk, Number(8, 48), 0}},
        {"/dev/sr0", true, {kDeviceTypeCdRom, Number(11, 0), 0}},
        {"/dev/sda", true, {kDeviceTypeDisk, Number(8, 0), 0}},
        {"/dev/sdz", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        StorageDeviceNumber number;
        ASSERT_EQ(c.ok, host_->DeviceNumber(c.path, number));
        if (!c.ok) continue;
        EXPECT_EQ(c.expected.deviceType, number.deviceType);
        EXPECT_EQ(c.expected.deviceNumber, number.deviceNumber);
        EXPECT_EQ(c.expected.partitionNumber, number.partitionNumber);
    }
}

TEST_F(LinuxHostPlatform, Ieee1394IsToldFromTheParentsDriver) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"/dev/sdd", true},  {"/dev/sg3", true},  {"/dev/sdb", false},
        {"/dev/sg1", false}, {"/dev/sr0", false}, {"/dev/sdz", false},
    };
    for (const auto& [path, onIeee1394] : cases) {
        EXPECT_EQ(onIeee1394, host_->IsOnIeee1394(path)) << path;
    }
}

TEST_F(LinuxHostPlatform, InquiryReachesTheVirtualBridgeThroughSgIo) {
    std::array<std::uint8_t, 36> answer{};
    const HostReply reply = host_->PassThrough(Inquiry("/dev/sg1", answer.data(), answer.size()));
    ASSERT_TRUE(reply.opened) << "errno " << reply.openError;
    ASSERT_TRUE(reply.completed) << "errno " << reply.hostError;
    EXPECT_EQ(scsi::kGood, reply.scsiStatus);
    EXPECT_EQ(36u, reply.transferred);
    EXPECT_EQ("Velmora External Disk   ", std::string(answer.begin() + 8, answer.begin() + 32));
    EXPECT_EQ(1, testbed_->router().Requests("/dev/sg1"));
}

TEST_F(LinuxHostPlatform, NonBridgeDiskRejectsVendorCommandWithIllegalRequest) {
    std::array<std::uint8_t, 16> answer{};
    const HostReply reply =
        host_->PassThrough(VendorRead("/dev/sdc", answer.data(), answer.size()));
    ASSERT_TRUE(reply.opened) << "errno " << reply.openError;
    EXPECT_TRUE(reply.completed);
    EXPECT_EQ(scsi::kCheckCondition, reply.scsiStatus);
    EXPECT_EQ(scsi::kSenseIllegalRequest, reply.senseKey);
    EXPECT_EQ(0x20, reply.asc);
    EXPECT_EQ(0x00, reply.ascq);
    EXPECT_EQ(0u, reply.transferred);
}

TEST_F(LinuxHostPlatform, OpenAndLockFailuresAreReported) {
    std::array<std::uint8_t, 36> answer{};
    {
        SCOPED_TRACE("no such node");
        const HostReply reply =
            host_->PassThrough(Inquiry("/dev/sdz", answer.data(), answer.size()));
        EXPECT_FALSE(reply.opened);
        EXPECT_EQ(ENOENT, reply.openError);
    }
    {
        SCOPED_TRACE("block node locked by someone else");
        const int other = ::open("/dev/sdc", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(other, 0);
        ASSERT_EQ(0, ::flock(other, LOCK_EX | LOCK_NB));
        HostRequest request = Inquiry("/dev/sdc", answer.data(), answer.size());
        request.open = OpenMode::Exclusive;
        const HostReply locked = host_->PassThrough(request);
        EXPECT_FALSE(locked.opened);
        EXPECT_EQ(EBUSY, locked.openError);
        EXPECT_EQ(0, testbed_->router().Requests("/dev/sdc"));

        request.open = OpenMode::Shared;
        EXPECT_TRUE(host_->PassThrough(request).completed) << "a shared open ignores the lock";
        ::close(other);
        request.open = OpenMode::Exclusive;
        EXPECT_TRUE(host_->PassThrough(request).completed) << "the lock was released";
        request.open = OpenMode::Exclusive;
        EXPECT_TRUE(host_->PassThrough(request).completed) << "the host released its own lock";
    }
    EXPECT_TRUE(host_->TakePermissionRefusals().empty());
}

TEST_F(LinuxHostPlatform, ClaimHoldsTheNodeForAWholeRun) {
    std::array<std::uint8_t, 36> answer{};
    // The test bed cannot make its emulated sg node refuse a second O_EXCL
    // open (only the kernel's sg driver does); the block node's lock is
    // real, so the refusals are checked there and the sg node is only
    // claimed, used and released.
    {
        SCOPED_TRACE("SCSI generic node");
        ASSERT_EQ(0, host_->ClaimDevice("/dev/sg1"));
        EXPECT_EQ(0, host_->ClaimDevice("/dev/sg1")) << "claiming again keeps the claim";
        HostRequest request = Inquiry("/dev/sg1", answer.data(), answer.size());
        request.open = OpenMode::Exclusive;
        EXPECT_TRUE(host_->PassThrough(request).completed);
        host_->ReleaseDevice("/dev/sg1");
        EXPECT_TRUE(host_->PassThrough(request).completed) << "opened per command again";
    }
    {
        SCOPED_TRACE("block node");
        ASSERT_EQ(0, host_->ClaimDevice("/dev/sdc"));
        HostRequest request = Inquiry("/dev/sdc", answer.data(), answer.size());
        request.open = OpenMode::Exclusive;
        // A new descriptor would have to take the lock the claim holds:
        // completing shows the request used the claim's descriptor.
        EXPECT_TRUE(host_->PassThrough(request).completed);
        EXPECT_EQ(1, testbed_->router().Requests("/dev/sdc"));

        LinuxHost other;
        EXPECT_EQ(EBUSY, other.ClaimDevice("/dev/sdc"));
        EXPECT_FALSE(other.PassThrough(request).opened);
        EXPECT_EQ(std::vector<std::string>{"/dev/sdc"}, other.TakeBusyRefusals());
        EXPECT_TRUE(other.TakeBusyRefusals().empty()) << "reading clears the list";
        EXPECT_TRUE(other.TakePermissionRefusals().empty()) << "busy is not a permission refusal";
        const int outside = ::open("/dev/sdc", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(outside, 0);
        EXPECT_NE(0, ::flock(outside, LOCK_EX | LOCK_NB)) << "another program's lock fails too";

        host_->ReleaseDevice("/dev/sdc");
        host_->ReleaseDevice("/dev/sdc");  // not claimed any more: nothing happens
        EXPECT_EQ(0, ::flock(outside, LOCK_EX | LOCK_NB)) << "the release unlocked the node";
        ::close(outside);
        EXPECT_EQ(0, other.ClaimDevice("/dev/sdc"));
        other.ReleaseDevice("/dev/sdc");
    }
    EXPECT_TRUE(host_->TakeBusyRefusals().empty());
}

TEST_F(LinuxHostPlatform, CommandFilterRefusalIsRecordedOnce) {
    std::array<std::uint8_t, 16> answer{};
    testbed_->router().FailIoctl("/dev/sdc", EPERM);
    for (int i = 0; i < 2; ++i) {
        const HostReply reply =
            host_->PassThrough(VendorRead("/dev/sdc", answer.data(), answer.size()));
        EXPECT_TRUE(reply.opened);
        EXPECT_FALSE(reply.completed);
        EXPECT_EQ(EPERM, reply.hostError);
    }
    EXPECT_EQ(std::vector<std::string>{"/dev/sdc"}, host_->TakePermissionRefusals());
    EXPECT_TRUE(host_->TakePermissionRefusals().empty()) << "reading clears the list";

    testbed_->router().FailIoctl("/dev/sdc", EIO);
    EXPECT_EQ(EIO,
              host_->PassThrough(VendorRead("/dev/sdc", answer.data(), answer.size())).hostError);
    EXPECT_TRUE(host_->TakePermissionRefusals().empty()) << "only permission errors are refusals";
}

TEST_F(LinuxHostPlatform, DeviceMonitorReportsBlockArrivalAndRemoval) {
    const int fd = host_->WatchDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd, host_->WatchDescriptor()) << "one monitor for the host's lifetime";
    host_->DrainDeviceEvents();

    struct Case {
        const char* action;
        const char* syspath;
        std::vector<DeviceEventKind> expected;
    };
    const std::vector<Case> cases = {
        {"add", tree::kUsbStorageDisk, {DeviceEventKind::Arrival}},
        {"remove", tree::kUsbStorageDisk, {DeviceEventKind::Removal}},
        {"change", tree::kUasDisk, {DeviceEventKind::Removal}},
        {"add", tree::kUsbStorageInterface, {}},  // not a block device
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + c.syspath);
        testbed_->Uevent(c.syspath, c.action);
        if (c.expected.empty()) {
            // The kernel source may still wake the descriptor; draining
            // filters the event out and consumes it.
            Readable(fd, 100);
            EXPECT_TRUE(host_->DrainDeviceEvents().empty());
            EXPECT_FALSE(Readable(fd, 0));
            continue;
        }
        ASSERT_TRUE(Readable(fd, 2000));
        const std::vector<DeviceEvent> events = host_->DrainDeviceEvents();
        ASSERT_EQ(c.expected.size(), events.size());
        EXPECT_EQ(c.expected[0], events[0].kind);
        EXPECT_EQ(c.syspath == std::string(tree::kUasDisk) ? "/dev/sdc" : "/dev/sdb",
                  events[0].node);
        EXPECT_FALSE(Readable(fd, 0)) << "everything pending was drained";
    }
}

TEST_F(LinuxHostPlatform, MountTableShowsTheIsolatedDevWithoutDeviceNumber) {
    bool found = false;
    for (const MountedVolume& volume : host_->ListMountedVolumes()) {
        if (volume.mountPoint == "/dev" && volume.source == "v62x-test-dev") {
            found = true;
            EXPECT_EQ("tmpfs", volume.fsType);
            EXPECT_FALSE(volume.hasDeviceNumber);
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(LinuxHostPlatform, RefreshListsOnlyTheBridge) {
    CommandSession scoped(*host_);
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    EXPECT_FALSE(outcome.empty);
    EXPECT_EQ(std::vector<std::string>{"<<USB>> Velmora External Disk   "}, outcome.entries);
    EXPECT_EQ(4, table.CandidateCount);
    EXPECT_EQ("/dev/sg1", table.records[0].InterfacePath);
    EXPECT_TRUE(outcome.refusedPaths.empty());
    EXPECT_GT(testbed_->router().Requests("/dev/sdc"), 0) << "the non-bridge disk was asked";
}

}  // namespace
}  // namespace v62x::platform
