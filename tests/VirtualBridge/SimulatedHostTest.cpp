// The simulated host behind the host seam: naming and listing of devices,
// device numbers and volumes, pass-through with fault injection and
// permission refusals, the command log, the virtual clock and the watch.
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "VirtualBridge/SimulatedHost.h"
#include "support/SimBench.h"

namespace v62x::sim {
namespace {

using test::Bytes;

DeviceConfig Bridge(DeviceClass cls = DeviceClass::Disk, Bus bus = Bus::Usb) {
    DeviceConfig config;
    config.cls = cls;
    config.bus = bus;
    std::string why;
    EXPECT_TRUE(AnswersForKind(3, 1, {}, config.answers, why)) << why;
    return config;
}

test::Outcome Send(Host& host, const std::string& path, const Bytes& cdb, std::size_t length = 40,
                   DataDirection direction = DataDirection::In) {
    return test::Send(host, path, cdb, direction, Bytes(length, test::kUntouched));
}

const Bytes kInquiry = {0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0};
const Bytes kChipIdWord = {0xDF, 0x10, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF};
const Bytes kVendorOn = {0xFF, 0x04, 0x56, 0x52, 0x55, 0, 0, 0, 0, 0, 0, 0};

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

std::vector<std::string> Paths(const std::vector<Candidate>& candidates) {
    std::vector<std::string> paths;
    for (const Candidate& c : candidates) paths.push_back(c.path);
    return paths;
}

TEST(SimHost, NamesDevicesAndListsThemByClassInInsertionOrder) {
    SimulatedHost host;
    DeviceConfig named = Bridge();
    named.path = "/dev/sg7";
    host.AddDevice(Bridge());
    host.AddDevice(Bridge(DeviceClass::CdRom));
    DeviceConfig stick;
    stick.isBridge = false;
    host.AddDevice(stick);
    host.AddDevice(named);
    host.AddDevice(Bridge(DeviceClass::Disk, Bus::Ieee1394));
    host.AddDevice(Bridge(DeviceClass::CdRom, Bus::Ieee1394));

    EXPECT_EQ((std::vector<std::string>{"/dev/sdb", "/dev/sdc", "/dev/sg7", "/dev/sdd"}),
              Paths(host.ListCandidates(DeviceClass::Disk)));
    EXPECT_EQ((std::vector<std::string>{"/dev/sr0", "/dev/sr1"}), Paths(host.ListCandidates(DeviceClass::CdRom)));
    EXPECT_EQ(Bus::Ieee1394, host.ListCandidates(DeviceClass::Disk)[3].bus);
    EXPECT_EQ(Bus::Usb, host.ListCandidates(DeviceClass::Disk)[0].bus);
    EXPECT_TRUE(host.IsOnIeee1394("/dev/sdd"));
    EXPECT_TRUE(host.IsOnIeee1394("/dev/sr1"));
    EXPECT_FALSE(host.IsOnIeee1394("/dev/sdb"));
    EXPECT_FALSE(host.IsOnIeee1394("/dev/nothing"));
    EXPECT_EQ(6u, host.Devices().size());

    // An unplugged device leaves the lists; its name is not handed out again.
    host.Unplug("/dev/sdc");
    EXPECT_EQ((std::vector<std::string>{"/dev/sdb", "/dev/sg7", "/dev/sdd"}),
              Paths(host.ListCandidates(DeviceClass::Disk)));
    EXPECT_EQ("/dev/sde", host.AddDevice(Bridge()).path());
    ASSERT_NE(nullptr, host.Find("/dev/sdc"));
    host.Replug("/dev/sdc");
    EXPECT_EQ((std::vector<std::string>{"/dev/sdb", "/dev/sdc", "/dev/sg7", "/dev/sdd", "/dev/sde"}),
              Paths(host.ListCandidates(DeviceClass::Disk)));
}

TEST(SimHost, DiskNamesGoOnPastZ) {
    SimulatedHost host;
    std::string last;
    for (int i = 0; i < 27; ++i) last = host.AddDevice(Bridge()).path();
    EXPECT_EQ("/dev/sdab", last);  // sdb..sdz are 25 names, then sdaa, sdab
}

TEST(SimHost, DeviceNumbersAndMountedVolumes) {
    SimulatedHost host;
    DeviceConfig first = Bridge();
    first.mountPoints = {"/media/a", "/media/b"};
    DeviceConfig dvd = Bridge(DeviceClass::CdRom);
    dvd.mountPoints = {"/media/cd"};
    host.AddDevice(first);
    host.AddDevice(Bridge());
    host.AddDevice(dvd);
    MountedVolume root;
    root.mountPoint = "/";
    root.fsType = "ext4";
    root.source = "/dev/sda2";
    root.hasDeviceNumber = true;
    root.number = {kDeviceTypeDisk, 0, 2};
    host.AddVolume(root);

    struct Case {
        const char* path;
        bool known;
        StorageDeviceNumber number;
    };
    for (const Case& c : {Case{"/dev/sdb", true, {kDeviceTypeDisk, 1, 0}},
                          Case{"/dev/sdb2", true, {kDeviceTypeDisk, 1, 2}},
                          Case{"/dev/sdc", true, {kDeviceTypeDisk, 2, 0}},
                          Case{"/dev/sr0", true, {kDeviceTypeCdRom, 0, 0}},
                          Case{"/dev/sda2", true, {kDeviceTypeDisk, 0, 2}},
                          Case{"/dev/sdb3", false, {}}, Case{"/dev/sdz", false, {}}}) {
        SCOPED_TRACE(c.path);
        StorageDeviceNumber number{99, 99, 99};
        ASSERT_EQ(c.known, host.DeviceNumber(c.path, number));
        if (!c.known) continue;
        EXPECT_EQ(c.number.deviceType, number.deviceType);
        EXPECT_EQ(c.number.deviceNumber, number.deviceNumber);
        EXPECT_EQ(c.number.partitionNumber, number.partitionNumber);
    }

    const std::vector<MountedVolume> volumes = host.ListMountedVolumes();
    ASSERT_EQ(4u, volumes.size());
    struct Expected {
        const char* mountPoint;
        const char* source;
        std::uint32_t type, number, partition;
    };
    const Expected expected[] = {{"/media/a", "/dev/sdb1", kDeviceTypeDisk, 1, 1},
                                 {"/media/b", "/dev/sdb2", kDeviceTypeDisk, 1, 2},
                                 {"/media/cd", "/dev/sr01", kDeviceTypeCdRom, 0, 1},
                                 {"/", "/dev/sda2", kDeviceTypeDisk, 0, 2}};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(expected[i].mountPoint);
        EXPECT_EQ(expected[i].mountPoint, volumes[i].mountPoint);
        EXPECT_EQ(expected[i].source, volumes[i].source);
        EXPECT_TRUE(volumes[i].hasDeviceNumber);
        EXPECT_EQ(expected[i].type, volumes[i].number.deviceType);
        EXPECT_EQ(expected[i].number, volumes[i].number.deviceNumber);
        EXPECT_EQ(expected[i].partition, volumes[i].number.partitionNumber);
    }
    EXPECT_EQ("vfat", volumes[0].fsType);

    // An unplugged disk has no number and no volumes.
    host.Unplug("/dev/sdb");
    StorageDeviceNumber number;
    EXPECT_FALSE(host.DeviceNumber("/dev/sdb", number));
    EXPECT_EQ(2u, host.ListMountedVolumes().size());
}

TEST(SimHost, OpenFailuresForUnknownUnpluggedAndRefusedDevices) {
    SimulatedHost host;
    const std::string bridge = host.AddDevice(Bridge()).path();
    DeviceConfig locked = Bridge();
    locked.permissionDenied = true;
    const std::string refused = host.AddDevice(locked).path();
    DeviceConfig other = locked;
    const std::string refused2 = host.AddDevice(other).path();
    host.Unplug(bridge);

    struct Case {
        std::string path;
        int openError;
    };
    for (const Case& c : {Case{"/dev/sdq", ENOENT}, Case{bridge, ENOENT}, Case{refused, EACCES},
                          Case{refused2, EACCES}, Case{refused, EACCES}}) {
        SCOPED_TRACE(c.path);
        const test::Outcome sent = Send(host, c.path, kInquiry);
        EXPECT_FALSE(sent.reply.opened);
        EXPECT_FALSE(sent.reply.completed);
        EXPECT_EQ(c.openError, sent.reply.openError);
        EXPECT_EQ(Bytes(40, 0xEE), sent.data);
    }
    EXPECT_EQ((std::vector<std::string>{refused, refused2}), host.TakePermissionRefusals());
    EXPECT_TRUE(host.TakePermissionRefusals().empty()) << "reading clears the list";
    // A refused device is still a candidate: the window says why it cannot use it.
    EXPECT_EQ(2u, host.ListCandidates(DeviceClass::Disk).size());
}

TEST(SimHost, FaultRulesHitTheMatchingCommands) {
    struct Step {
        int device;  // 0 or 1
        const Bytes* cdb;
        bool faulted;
    };
    struct Case {
        const char* name;
        bool onSecondDeviceOnly;
        Bytes prefix;
        int nth;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"every command", false, {}, 0,
         {{0, &kInquiry, true}, {1, &kChipIdWord, true}, {0, &kVendorOn, true}}},
        {"every INQUIRY", false, {0x12}, 0,
         {{0, &kInquiry, true}, {0, &kChipIdWord, false}, {1, &kInquiry, true}}},
        {"second DF 10 only", false, {0xDF, 0x10}, 2,
         {{0, &kChipIdWord, false}, {0, &kInquiry, false}, {1, &kChipIdWord, true},
          {0, &kChipIdWord, false}}},
        {"prefix longer than a match", false, {0xFF, 0x04, 0x56, 0x52, 0x55}, 0,
         {{0, &kVendorOn, true}, {0, &kChipIdWord, false}}},
        {"one device only", true, {}, 0, {{0, &kInquiry, false}, {1, &kInquiry, true}}},
        {"first command of one device", true, {}, 1,
         {{0, &kInquiry, false}, {1, &kInquiry, true}, {1, &kInquiry, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedHost host;
        const std::string paths[] = {host.AddDevice(Bridge()).path(), host.AddDevice(Bridge()).path()};
        FaultRule rule;
        rule.path = c.onSecondDeviceOnly ? paths[1] : "";
        rule.prefix = c.prefix;
        rule.nth = c.nth;
        rule.kind = FaultKind::Transport;
        host.AddFault(rule);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            const test::Outcome sent = Send(host, paths[step.device], *step.cdb, 40);
            EXPECT_EQ(step.faulted, !sent.reply.completed) << "step " << i;
        }
        host.ClearFaults();
        EXPECT_TRUE(Send(host, paths[1], kInquiry).reply.completed) << "no rule after ClearFaults";
    }
}

TEST(SimHost, EachFaultKindAndTheDeviceNeverSeesTheCommand) {
    struct Case {
        FaultKind kind;
        bool opened;
        int openError;
        bool completed;
        int hostError;
        std::uint8_t status;
    };
    for (const Case& c : {Case{FaultKind::OpenFailure, false, ENOENT, false, 0, scsi::kGood},
                          Case{FaultKind::Transport, true, 0, false, EIO, scsi::kGood},
                          Case{FaultKind::CheckCondition, true, 0, true, 0, scsi::kCheckCondition}}) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        SimulatedHost host;
        VirtualDevice& device = host.AddDevice(Bridge());
        FaultRule rule;
        rule.kind = c.kind;
        rule.senseKey = scsi::kSenseMediumError;
        rule.asc = 0x11;
        rule.ascq = 0x04;
        host.AddFault(rule);
        const test::Outcome sent = Send(host, device.path(), kVendorOn, 0, DataDirection::Out);
        EXPECT_EQ(c.opened, sent.reply.opened);
        EXPECT_EQ(c.openError, sent.reply.openError);
        EXPECT_EQ(c.completed, sent.reply.completed);
        EXPECT_EQ(c.hostError, sent.reply.hostError);
        EXPECT_EQ(c.status, sent.reply.scsiStatus);
        if (c.kind == FaultKind::CheckCondition) {
            EXPECT_EQ(scsi::kSenseMediumError, sent.reply.senseKey);
            EXPECT_EQ(0x11, sent.reply.asc);
            EXPECT_EQ(0x04, sent.reply.ascq);
        }
        EXPECT_FALSE(device.vendorMode()) << "the faulted command never reached the device";
        const test::Outcome read = Send(host, device.path(), kInquiry, 40);
        EXPECT_EQ(0u, read.reply.transferred);
        EXPECT_EQ(Bytes(40, 0xEE), read.data);
    }
}

TEST(SimHost, LogsEveryCommandWithItsOutcome) {
    SimulatedHost host;
    const std::string path = host.AddDevice(Bridge()).path();
    HostRequest request;
    request.path = path;
    std::copy(kVendorOn.begin(), kVendorOn.end(), request.cdb.begin());
    request.cdbLength = 12;
    request.direction = DataDirection::Out;
    request.timeoutSeconds = 50;
    request.open = OpenMode::Exclusive;
    host.PassThrough(request);
    Send(host, path, kInquiry, 40);
    Send(host, "/dev/gone", kChipIdWord, 2);

    const std::vector<LogEntry>& log = host.Log();
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(path, log[0].path);
    EXPECT_EQ(kVendorOn, log[0].cdb);
    EXPECT_EQ(DataDirection::Out, log[0].direction);
    EXPECT_EQ(0u, log[0].length);
    EXPECT_EQ(50u, log[0].timeoutSeconds);
    EXPECT_EQ(OpenMode::Exclusive, log[0].open);
    EXPECT_TRUE(log[0].reply.completed);

    EXPECT_EQ(kInquiry, log[1].cdb);
    EXPECT_EQ(DataDirection::In, log[1].direction);
    EXPECT_EQ(40u, log[1].length);
    EXPECT_EQ(OpenMode::Shared, log[1].open);
    EXPECT_EQ(36u, log[1].reply.transferred);

    EXPECT_EQ("/dev/gone", log[2].path);
    EXPECT_EQ(kChipIdWord, log[2].cdb);
    EXPECT_FALSE(log[2].reply.opened);
    EXPECT_EQ(ENOENT, log[2].reply.openError);

    host.ClearLog();
    EXPECT_TRUE(host.Log().empty());
}

TEST(SimHost, SleepAdvancesTheVirtualClockOnly) {
    SimulatedHost host;
    EXPECT_EQ(0u, host.NowMs());
    const auto start = std::chrono::steady_clock::now();
    host.Sleep(1200);
    host.Sleep(0);
    host.Sleep(3'600'000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(3'601'200u, host.NowMs());
}

TEST(SimHost, ArrivalsAndRemovalsWakeTheWatchDescriptor) {
    SimulatedHost host;
    const int fd = host.WatchDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(Readable(fd));

    const std::string path = host.AddDevice(Bridge()).path();
    EXPECT_TRUE(Readable(fd));
    std::vector<DeviceEvent> events = host.DrainDeviceEvents();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(DeviceEventKind::Arrival, events[0].kind);
    EXPECT_EQ(path, events[0].node);
    EXPECT_FALSE(Readable(fd));
    EXPECT_TRUE(host.DrainDeviceEvents().empty());

    host.Unplug(path);
    host.Unplug(path);     // already gone: no second event
    host.Replug("/dev/x");  // unknown: nothing
    host.Replug(path);
    host.Replug(path);     // already present: nothing
    EXPECT_TRUE(Readable(fd));
    events = host.DrainDeviceEvents();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(DeviceEventKind::Removal, events[0].kind);
    EXPECT_EQ(DeviceEventKind::Arrival, events[1].kind);
    EXPECT_EQ(path, events[1].node);
    EXPECT_FALSE(Readable(fd));
}

TEST(SimHost, ReplugKeepsTheDeviceState) {
    SimulatedHost host;
    VirtualDevice& device = host.AddDevice(Bridge());
    Send(host, device.path(), kVendorOn, 0, DataDirection::Out);
    device.memory()[0x1000] = 0x5A;
    host.Unplug(device.path());
    EXPECT_EQ(ENOENT, Send(host, device.path(), kInquiry).reply.openError);
    host.Replug(device.path());
    EXPECT_TRUE(device.vendorMode());
    EXPECT_EQ(0x5A, device.memory()[0x1000]);
    EXPECT_EQ(36u, Send(host, device.path(), kInquiry).reply.transferred);
}

TEST(SimHost, TracesAreKeptAndEchoedWhenAsked) {
    const char* debug = std::getenv("V62X_DEBUG");
    const bool environmentEchoes = debug != nullptr && *debug != '\0';
    SimulatedHost host;
    testing::internal::CaptureStderr();
    host.Trace("first");
    host.SetEchoTraces(true);
    host.Trace("second");
    const std::string echoed = testing::internal::GetCapturedStderr();
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), host.Traces());
    EXPECT_EQ(environmentEchoes ? "first\nsecond\n" : "second\n", echoed);
}

}  // namespace
}  // namespace v62x::sim
