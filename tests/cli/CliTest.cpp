#include "cli/Cli.h"

#include <gtest/gtest.h>

#include <sstream>

#include "support/SimBridges.h"

namespace v62x {
namespace {

using sim::SimulatedHost;

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun RunWith(SimulatedHost& host, std::vector<std::string> args) {
    std::ostringstream out, err;
    const int status = RunCli(args, out, err, &host);
    return {status, out.str(), err.str()};
}

TEST(CliList, PrintsEntryPathChipAndDrives) {
    SimulatedHost host;
    auto bridge = test::BridgeConfig(8, 2);
    bridge.vendor = "Velmora ";
    bridge.product = "USB2.0 Bridge   ";
    bridge.mountPoints = {"/media/a"};
    const std::string path = host.AddDevice(bridge).path();
    host.AddDevice(test::StickConfig());
    const CliRun run = RunWith(host, {"list"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("[0] \"<<USB>> Velmora USB2.0 Bridge   \"\n"
              "    path:     " + path + "\n"
              "    chip:     kind 8 (VRB644/645 Series), revision 2\n"
              "    drives:   /media/a\n",
              run.out);
    EXPECT_EQ("", run.err);
}

TEST(CliList, NothingFoundStillSucceeds) {
    SimulatedHost host;
    const CliRun run = RunWith(host, {"list"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("No available device!!!\n", run.out);
}

TEST(CliList, RefusedDeviceIsNamedOnStderr) {
    SimulatedHost host;
    auto bridge = test::BridgeConfig(8, 2);
    bridge.permissionDenied = true;
    const std::string path = host.AddDevice(bridge).path();
    const CliRun run = RunWith(host, {"list"});
    EXPECT_EQ(0, run.status);
    EXPECT_NE(std::string::npos, run.err.find("no permission to access " + path + ": run as root\n"));
}

TEST(CliList, TraceShowsEveryCommandInOrder) {
    SimulatedHost host;
    const std::string stick = host.AddDevice(test::StickConfig()).path();
    const CliRun run = RunWith(host, {"list", "--trace"});
    EXPECT_EQ(0, run.status);
    std::istringstream lines(run.err);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ("IN  " + stick + " cdb=12 00 00 00 28 00 00 00 00 00 00 00 len=40 xfer=36 -> ok status=00", first);
    EXPECT_EQ("OUT " + stick +
                  " cdb=FF 04 56 52 55 00 00 00 00 00 00 00 len=0 xfer=0 -> fail status=02 sense key=5 "
                  "(ILLEGAL REQUEST) asc/ascq=20/00",
              second);
    // Without --trace nothing of the kind is printed.
    EXPECT_EQ("", RunWith(host, {"list"}).err);
}

TEST(CliUsage, UsageErrorsExitWithTwo) {
    SimulatedHost host;
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"lst"}, {"list", "--bogus"}, {"list", "extra"}}) {
        const CliRun run = RunWith(host, args);
        EXPECT_EQ(2, run.status) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(run.err.empty());
    }
    EXPECT_EQ(0, RunWith(host, {"--help"}).status);
}

TEST(CliInfo, ShowsWhatTheWindowShowsForOneDevice) {
    SimulatedHost host;
    auto bridge = test::BridgeConfig(10, 1);
    std::string why;
    ASSERT_TRUE(sim::SetFlashPart(bridge.flash, "W25X40", why)) << why;
    bridge.mountPoints = {"/media/x"};
    const std::string path = host.AddDevice(bridge).path();
    const CliRun byDefault = RunWith(host, {"info"});
    EXPECT_EQ(0, byDefault.status);
    EXPECT_NE(std::string::npos, byDefault.out.find("path:     " + path + "\n"));
    EXPECT_NE(std::string::npos, byDefault.out.find("chip:     VRB646 Series (kind 10, revision 1)\n"));
    EXPECT_NE(std::string::npos, byDefault.out.find("flash:    WINBOND, 512 KiB\n"));
    EXPECT_NE(std::string::npos, byDefault.out.find("drives:   /media/x\n"));
    EXPECT_EQ(byDefault.out, RunWith(host, {"info", path}).out);
    EXPECT_EQ(byDefault.out, RunWith(host, {"info", "0"}).out);
}

TEST(CliInfo, UnknownDeviceAndEmptyState) {
    SimulatedHost host;
    const CliRun none = RunWith(host, {"info"});
    EXPECT_EQ(1, none.status);
    EXPECT_EQ("v62xfw: No available device!!!\n", none.err);
    host.AddDevice(test::BridgeConfig(8, 1));
    const CliRun wrong = RunWith(host, {"info", "/dev/sdz"});
    EXPECT_EQ(1, wrong.status);
    EXPECT_EQ("v62xfw: no listed device /dev/sdz\n", wrong.err);
}

TEST(CliInfo, UnsupportedChipShowsTheStatusText) {
    SimulatedHost host;
    sim::DeviceConfig config;
    sim::BridgeVariant variant;
    variant.chipText623 = true;
    std::string why;
    ASSERT_TRUE(sim::MakeBridgeConfig(17, 2, variant, config, why)) << why;
    host.AddDevice(config);
    const CliRun run = RunWith(host, {"info"});
    EXPECT_EQ(0, run.status);
    EXPECT_NE(std::string::npos, run.out.find("flash:    -\n"));
    EXPECT_NE(std::string::npos, run.out.find("version:  -\n"));
    EXPECT_NE(std::string::npos, run.out.find("status:   The chip not support Firmware Update!\n"));
}

}  // namespace
}  // namespace v62x
