#include "cli/Cli.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>

#include "VirtualBridge/SimulationDescription.h"
#include "Version.h"
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
              "    drives:   /media/a\n"
              "    usb id:   1d6b:0104\n",
              run.out);
    EXPECT_EQ("", run.err);
}

TEST(CliList, NothingFoundSaysSo) {
    SimulatedHost host;
    const CliRun run = RunWith(host, {"list"});
    EXPECT_EQ(3, run.status);
    EXPECT_EQ("No available device!!!\n", run.out);
}

TEST(CliList, RefusedDeviceIsNamedOnStderr) {
    SimulatedHost host;
    auto bridge = test::BridgeConfig(8, 2);
    bridge.permissionDenied = true;
    const std::string path = host.AddDevice(bridge).path();
    const CliRun run = RunWith(host, {"list"});
    EXPECT_EQ(5, run.status);
    EXPECT_NE(std::string::npos, run.err.find("no permission to access " + path + ": run as root\n"));
}

// The exit statuses the README's table promises (the run outcomes
// themselves are in CliRunTest).
TEST(CliExit, StatusTable) {
    struct Case {
        const char* description;  // simulated bridges; empty: none
        std::vector<std::string> args;
        int status;
    };
    for (const Case& c : std::vector<Case>{
             {"bridge:kind=8", {"--version"}, 0},
             {"bridge:kind=8", {"list"}, 0},
             {"bridge:kind=8", {"info"}, 0},
             {"bridge:kind=8", {"run", "--yes", "--erase-only"}, 0},
             {"bridge:kind=5,hddfw=0", {"run", "--yes", "--erase-only"}, 1},
             {"bridge:kind=8", {}, 2},
             {"bridge:kind=8", {"lst"}, 2},
             {"bridge:kind=8", {"list", "--bogus"}, 2},
             {"bridge:kind=8", {"list", "extra"}, 2},
             {"bridge:kind=8", {"run", "--erase-only"}, 2},
             {"", {"list"}, 3},
             {"", {"info"}, 3},
             {"bridge:kind=8", {"info", "/dev/sdz"}, 3},
             {"bridge:kind=8", {"run", "--yes", "/dev/sdz", "--erase-only"}, 3},
             {"bridge:kind=8,denied=1", {"list"}, 5},
             {"bridge:kind=8,denied=1", {"info"}, 5},
             {"bridge:kind=8,denied=1", {"run", "--yes", "--erase-only"}, 5},
         }) {
        SimulatedHost host;
        std::vector<sim::DeviceConfig> configs;
        std::string error;
        ASSERT_TRUE(sim::ParseSimulationDescription(c.description, configs, error)) << error;
        for (const auto& config : configs) host.AddDevice(config);
        const CliRun run = RunWith(host, c.args);
        EXPECT_EQ(c.status, run.status) << c.description << ": " << (c.args.empty() ? "(none)" : c.args[0])
                                        << "\n" << run.err;
        if (c.status == 2) {
            EXPECT_FALSE(run.err.empty());
        }
    }
    SimulatedHost host;
    const CliRun version = RunWith(host, {"--version"});
    EXPECT_EQ(std::string("v62xfw ") + kVersion + "\n", version.out);
    EXPECT_EQ(0, RunWith(host, {"--help"}).status);
}

// --json: one document on standard output that holds what the human output
// shows. Each pair: a JSON pointer and the human line that shows its value.
TEST(CliJson, HoldsTheFieldsOfTheHumanOutput) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::pair<const char*, const char*>> fields;
    };
    for (const Case& c : std::vector<Case>{
             {{"list"},
              {{"/bridges/0/entry", "[0] \""}, {"/bridges/0/path", "    path:     "},
               {"/bridges/0/chip/kind", "    chip:     kind "}, {"/bridges/0/chip/name", " ("},
               {"/bridges/0/chip/revision", "), revision "}, {"/bridges/0/drives", "    drives:   "},
               {"/bridges/0/usb/vendor", "    usb id:   "}, {"/bridges/0/usb/product", ":"}}},
             {{"info"},
              {{"/entry", "entry:    \""}, {"/path", "path:     "}, {"/chip/name", "chip:     "},
               {"/chip/kind", "(kind "}, {"/chip/revision", ", revision "}, {"/flash/type", "flash:    "},
               {"/version", "version:  "}, {"/drives", "drives:   "}}},
             {{"run", "--yes", "--erase-only"},
              {{"/lines/0/status", ""}, {"/summary/commands", "summary: "}}},
         }) {
        SimulatedHost host;
        auto bridge = test::BridgeConfig(8, 2);
        bridge.mountPoints = {"/media/a"};
        host.AddDevice(bridge);
        const CliRun human = RunWith(host, c.args);
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const CliRun json = RunWith(host, args);
        EXPECT_EQ(human.status, json.status);
        const auto document = nlohmann::json::parse(json.out);  // throws unless one whole document
        EXPECT_EQ(json.status, document.at("exit_status").get<int>());
        for (const auto& [pointer, label] : c.fields) {
            const auto& value = document.at(nlohmann::json::json_pointer(pointer));
            const std::string text = value.is_null() ? "-" : value.is_string() ? value.get<std::string>() : value.dump();
            EXPECT_NE(std::string::npos, human.out.find(label + text)) << c.args[0] << ' ' << pointer << ": " << text;
        }
    }
}

TEST(CliList, TraceShowsEveryCommandInOrder) {
    SimulatedHost host;
    const std::string stick = host.AddDevice(test::StickConfig()).path();
    const CliRun run = RunWith(host, {"list", "--trace"});
    EXPECT_EQ(3, run.status);  // the stick is no bridge: nothing listed
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
    EXPECT_EQ(3, none.status);
    EXPECT_EQ("v62xfw: No available device!!!\n", none.err);
    host.AddDevice(test::BridgeConfig(8, 1));
    const CliRun wrong = RunWith(host, {"info", "/dev/sdz"});
    EXPECT_EQ(3, wrong.status);
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
