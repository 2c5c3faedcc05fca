#include "Fwupdate/DeviceRefresh.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "IDEAccess/CommandSession.h"
#include "IDEAccess/IdentifyChip.h"
#include "support/SimBridges.h"

namespace v62x {
namespace {

using sim::SimulatedHost;
using test::BridgeConfig;
using test::StickConfig;

bool StartsWith(const std::vector<std::uint8_t>& cdb, std::vector<std::uint8_t> prefix) {
    return cdb.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), cdb.begin());
}
const std::vector<std::uint8_t> kInquiry = {0x12};
const std::vector<std::uint8_t> kModeOn = {0xFF, 0x04, 0x56, 0x52, 0x55};
const std::vector<std::uint8_t> kModeOff = {0xFF, 0x04, 0x56, 0x52, 0xAA};

// The commands sent to one path, as CDB prefixes of interest.
std::vector<std::string> Commands(const SimulatedHost& host, const std::string& path) {
    std::vector<std::string> names;
    for (const auto& e : host.Log()) {
        if (e.path != path) continue;
        if (StartsWith(e.cdb, kInquiry)) names.push_back("inquiry");
        else if (StartsWith(e.cdb, kModeOn)) names.push_back("mode-on");
        else if (StartsWith(e.cdb, kModeOff)) names.push_back("mode-off");
        else names.push_back("identify");
    }
    return names;
}

TEST(DeviceRefresh, NoDeviceGivesTheEmptyState) {
    SimulatedHost host;
    CommandSession scoped(host);
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    EXPECT_TRUE(outcome.empty);
    EXPECT_TRUE(outcome.entries.empty());
    EXPECT_EQ(0, table.CandidateCount);
    EXPECT_TRUE(host.Log().empty());
}

TEST(DeviceRefresh, UsbBridgeWithTwoMountedVolumes) {
    SimulatedHost host;
    CommandSession scoped(host);
    auto config = BridgeConfig(8, 2);
    config.vendor = "Velmora ";
    config.product = "USB2.0 Bridge   ";
    config.mountPoints = {"/media/op/DATA", "/media/op/BACKUP"};
    const std::string path = host.AddDevice(config).path();
    // The root file system and a network share that claim the same disk
    // are never named.
    StorageDeviceNumber number;
    ASSERT_TRUE(host.DeviceNumber(path, number));
    host.AddVolume({"/", "ext4", "/dev/sda1", true, number});
    host.AddVolume({"/mnt/share", "nfs4", "server:/share", true, number});
    host.AddVolume({"/media/other", "vfat", "/dev/sdz1", true, {kDeviceTypeDisk, number.deviceNumber + 1, 1}});

    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    ASSERT_FALSE(outcome.empty);
    ASSERT_EQ(1u, outcome.entries.size());
    EXPECT_EQ("<<USB>> Velmora USB2.0 Bridge   ", outcome.entries[0]);
    EXPECT_EQ("USB DISK", outcome.diskLabelCaption);
    EXPECT_EQ(path, table.records[0].InterfacePath);
    EXPECT_EQ("/media/op/DATA /media/op/BACKUP", table.records[0].DriveLetters);
    EXPECT_EQ(0x0208, outcome.chips[0]);
    EXPECT_EQ(0, table.records[0].ReleaseAtExit);
    EXPECT_EQ(1, table.CandidateCount);
    const auto commands = Commands(host, path);
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ("inquiry", commands[0]);
    EXPECT_EQ("mode-on", commands[1]);
    EXPECT_EQ("inquiry", commands[2]) << "identification starts with its own INQUIRY";
}

TEST(DeviceRefresh, Ieee1394BridgeIsListedWithItsPrefix) {
    SimulatedHost host;
    CommandSession scoped(host);
    auto config = BridgeConfig(7, 1, Bus::Ieee1394);
    config.vendor = "Velmora ";
    config.product = "1394 Bridge     ";
    host.AddDevice(config);
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    ASSERT_EQ(1u, outcome.entries.size());
    EXPECT_EQ("<<1394>> Velmora 1394 Bridge     ", outcome.entries[0]);
    EXPECT_EQ("1394 DISK", outcome.diskLabelCaption);
}

TEST(DeviceRefresh, StickIsAskedButNotListed) {
    SimulatedHost host;
    CommandSession scoped(host);
    const std::string stick = host.AddDevice(StickConfig()).path();
    auto bridge = BridgeConfig(3, 1);
    bridge.product = "Bridge Disk     ";
    const std::string bridgePath = host.AddDevice(bridge).path();

    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    ASSERT_EQ(1u, outcome.entries.size());
    EXPECT_EQ(std::string("<<USB>> ") + bridge.vendor + bridge.product, outcome.entries[0]);
    EXPECT_EQ(bridgePath, table.records[0].InterfacePath) << "the stick's record is reused";
    EXPECT_EQ(2, table.CandidateCount);
    const auto commands = Commands(host, stick);
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ("inquiry", commands[0]);
    EXPECT_EQ("mode-on", commands[1]);
}

TEST(DeviceRefresh, OnlyStickShowsTheEmptyStateButKeepsTheCount) {
    SimulatedHost host;
    CommandSession scoped(host);
    host.AddDevice(StickConfig());
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    EXPECT_TRUE(outcome.empty);
    EXPECT_EQ(1, table.CandidateCount);
}

TEST(DeviceRefresh, CdRomClassBridgeGetsAnExtraVendorModeAndIsReleasedAtExit) {
    SimulatedHost host;
    CommandSession scoped(host);
    const std::string disk = host.AddDevice(BridgeConfig(8, 1)).path();
    const std::string cdrom = host.AddDevice(BridgeConfig(12, 1, Bus::Usb, DeviceClass::CdRom)).path();

    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    ASSERT_EQ(2u, outcome.entries.size());
    EXPECT_EQ(disk, table.records[0].InterfacePath);
    EXPECT_EQ(cdrom, table.records[1].InterfacePath);
    EXPECT_EQ(0, table.records[0].ReleaseAtExit);
    EXPECT_EQ(1, table.records[1].ReleaseAtExit);
    const auto commands = Commands(host, cdrom);
    EXPECT_EQ("mode-on", commands.back()) << "the extra vendor mode on comes after identification";
    EXPECT_EQ(2, std::count(commands.begin(), commands.end(), "mode-on"));

    host.ClearLog();
    ReleaseMarkedDevices(table);
    ASSERT_EQ(1u, host.Log().size());
    EXPECT_EQ(cdrom, host.Log()[0].path);
    EXPECT_TRUE(StartsWith(host.Log()[0].cdb, kModeOff));
}

TEST(DeviceRefresh, CdRomClassBridgeAfterADiskThatIsNoBridgeIsTheOneReleased) {
    SimulatedHost host;
    CommandSession scoped(host);
    host.AddDevice(StickConfig());
    const std::string cdrom = host.AddDevice(BridgeConfig(12, 1, Bus::Usb, DeviceClass::CdRom)).path();

    DeviceTable table;
    ASSERT_EQ(1u, RefreshDevices(table).entries.size());
    EXPECT_EQ(2, std::count_if(host.Log().begin(), host.Log().end(), [&](const auto& e) {
                  return e.path == cdrom && StartsWith(e.cdb, kModeOn);
              }));
    host.ClearLog();
    ReleaseMarkedDevices(table);
    ASSERT_EQ(1u, host.Log().size());
    EXPECT_EQ(cdrom, host.Log()[0].path);
    EXPECT_TRUE(StartsWith(host.Log()[0].cdb, kModeOff));
}

TEST(DeviceRefresh, SeventeenCandidatesStopAtSixteen) {
    SimulatedHost host;
    CommandSession scoped(host);
    for (int i = 0; i < 17; ++i) host.AddDevice(BridgeConfig(3, 1));
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    EXPECT_EQ(16, table.CandidateCount);
    EXPECT_EQ(16u, outcome.entries.size());
    const auto& traces = host.Traces();
    EXPECT_TRUE(std::any_of(traces.begin(), traces.end(), [](const std::string& t) {
        return t.find("more than 16 candidate devices") != std::string::npos;
    }));
    const std::string seventeenth = host.Devices().back()->path();
    EXPECT_TRUE(Commands(host, seventeenth).empty()) << "the 17th device is never addressed";
}

TEST(DeviceRefresh, DisksComeBeforeCdRomsWhateverTheOrderOfArrival) {
    SimulatedHost host;
    CommandSession scoped(host);
    auto cd = BridgeConfig(12, 1, Bus::Usb, DeviceClass::CdRom);
    cd.product = "CD Bridge       ";
    host.AddDevice(cd);
    auto disk = BridgeConfig(4, 2);
    disk.product = "Disk Bridge     ";
    host.AddDevice(disk);
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    ASSERT_EQ(2u, outcome.entries.size());
    EXPECT_NE(std::string::npos, outcome.entries[0].find("Disk Bridge"));
    EXPECT_NE(std::string::npos, outcome.entries[1].find("CD Bridge"));
}

TEST(DeviceRefresh, RefusedDeviceIsReported) {
    SimulatedHost host;
    CommandSession scoped(host);
    auto config = BridgeConfig(8, 1);
    config.permissionDenied = true;
    const std::string path = host.AddDevice(config).path();
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    EXPECT_TRUE(outcome.empty);
    ASSERT_EQ(1u, outcome.refusedPaths.size());
    EXPECT_EQ(path, outcome.refusedPaths[0]);
    EXPECT_EQ("no permission to access " + path + ": run as root", PermissionRefusalText(path));
}

TEST(DeviceRefresh, FailedInquiryKeepsThePreviousName) {
    SimulatedHost host;
    CommandSession scoped(host);
    auto first = BridgeConfig(8, 1);
    first.product = "First Bridge    ";
    host.AddDevice(first);
    auto second = BridgeConfig(3, 1, Bus::Usb, DeviceClass::Disk, [] {
        sim::BridgeVariant v;
        v.inquiryTag = false;
        return v;
    }());
    const std::string path = host.AddDevice(second).path();
    host.AddFault({path, {0x12}, 1, sim::FaultKind::CheckCondition});  // the refresh's own INQUIRY
    DeviceTable table;
    const RefreshOutcome outcome = RefreshDevices(table);
    ASSERT_EQ(2u, outcome.entries.size());
    EXPECT_EQ(outcome.entries[0], outcome.entries[1]);
}

}  // namespace
}  // namespace v62x
