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

}  // namespace
}  // namespace v62x
