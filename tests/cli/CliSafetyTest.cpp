// What keeps a run from harming a bridge beyond one procedure: one run per
// bridge, commands that only read never write, the bytes the check accepted
// are the bytes programmed, and a saved NVRAM copy can be written back.
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/FirmwareRecovery.h"
#include "Fwupdate/RunDispatch.h"
#include "VirtualBridge/DeviceImage.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Transport.h"
#include "cli/Cli.h"
#include "cli/RunCommand.h"
#include "support/ScratchDir.h"

namespace v62x {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Bench {
    sim::SimulatedHost host;
    test::ScratchDir dir{"v62x-clisafe"};

    explicit Bench(const std::string& description) {
        std::vector<sim::DeviceConfig> configs;
        std::string error;
        EXPECT_TRUE(sim::ParseSimulationDescription(description, configs, error)) << error;
        for (const auto& config : configs) host.AddDevice(config);
    }
    sim::VirtualDevice& Device() { return *host.Devices().at(0); }
    Bytes Store() { return sim::ReadFirmwareStore(Device()); }
    void SetStore(const Bytes& bytes) { ASSERT_TRUE(sim::WriteFirmwareStore(Device(), bytes)); }
    int Run(std::vector<std::string> args, std::string* output = nullptr) {
        std::ostringstream out, err;
        const int status = RunCli(args, out, err, &host);
        if (output != nullptr) *output = out.str() + err.str();
        return status;
    }
};

// A kind-8 image: signature 55 AA AA 55 and the tag "6450" at offset 0.
Bytes Kind8Image(std::uint8_t seed) {
    Bytes image(65536);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + seed);
    const Bytes head = {0x55, 0xAA, 0xAA, 0x55, '6', '4', '5', '0'};
    std::copy(head.begin(), head.end(), image.begin());
    return image;
}

TEST(CliSafety, ASecondProgramGetsBusyAndChangesNothing) {
    Bench bench("bridge:kind=8");
    const std::string image = bench.dir.File("store.img");
    std::string error;
    ASSERT_TRUE(bench.host.AttachImage(bench.Device().path(), image, error)) << error;
    ASSERT_TRUE(bench.host.SaveImages(error)) << error;
    const Bytes before = bench.Store();

    // Another program holds the bridge for its run.
    const int other = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(0, ::flock(other, LOCK_EX | LOCK_NB));
    std::string output;
    EXPECT_EQ(1, bench.Run({"run", "--yes", "--erase-only"}, &output));
    EXPECT_NE(std::string::npos, output.find("busy: another program is working on " + bench.Device().path())) << output;
    EXPECT_EQ(before, bench.Store());

    ::close(other);
    EXPECT_EQ(0, bench.Run({"run", "--yes", "--erase-only"}, &output)) << output;
}

TEST(CliSafety, InfoAndBackupNeverWriteAndAnEmptyDeviceIsNoDevice) {
    Bench bench("bridge:kind=12");
    Bytes store = bench.Store();
    ASSERT_GE(store.size(), 0x20000u);
    store[0x10100] ^= 0xFF;  // bank 1 fails its CRC: the window would repair it
    bench.SetStore(store);

    std::string output;
    EXPECT_EQ(0, bench.Run({"info"}, &output));
    EXPECT_NE(std::string::npos, output.find("status:   bank 1 is invalid: a run copies bank 0 over it")) << output;
    EXPECT_EQ(store, bench.Store());
    EXPECT_EQ(0, bench.Run({"run", "--backup-only", "--backup-file", bench.dir.File("b.bak")}, &output)) << output;
    EXPECT_EQ(store, bench.Store());

    for (const std::vector<std::string>& args : {std::vector<std::string>{"run", "", "--yes", "--erase-only"},
                                                 std::vector<std::string>{"info", ""}}) {
        EXPECT_EQ(2, bench.Run(args, &output));
        EXPECT_NE(std::string::npos, output.find("an empty DEVICE names no device")) << output;
        EXPECT_EQ(store, bench.Store());
    }
}

TEST(CliSafety, AWriteIsAskedForOnATerminalAndNeedsYesElsewhere) {
    Bench bench("bridge:kind=8");
    const Bytes before = bench.Store();
    const std::string path = bench.Device().path();
    struct Case {
        std::vector<std::string> args;
        bool terminal;
        const char* answer;
        int status;
        const char* question;  // what is asked; empty: nothing
        bool erased;
    };
    const std::string erase = "Erase the firmware of " + path + " (VRB644/645 Series)? [y/N] ";
    for (const Case& c : std::vector<Case>{
             {{"run", "--erase-only"}, false, "y\n", 2, "", false},
             {{"run", "--erase-only"}, true, "n\n", 1, erase.c_str(), false},
             {{"run", "--erase-only"}, true, "", 1, erase.c_str(), false},
             {{"run", "--erase-only"}, true, "YES\n", 0, erase.c_str(), true},
             {{"run", "--erase-only", "--yes"}, false, "", 0, "", true},
             {{"run", "--backup-only", "--backup-file", bench.dir.File("b.bak")}, false, "", 0, "", false},
         }) {
        bench.SetStore(before);
        std::istringstream answers(c.answer);
        Terminal terminal;
        terminal.input = c.terminal;
        terminal.output = c.terminal;
        terminal.answers = &answers;
        std::ostringstream out, err;
        EXPECT_EQ(c.status, RunCli(c.args, out, err, &bench.host, &terminal)) << err.str();
        const std::string asked = *c.question != '\0' ? c.question : "[y/N]";
        EXPECT_EQ(*c.question != '\0', err.str().find(asked) != std::string::npos) << err.str();
        EXPECT_EQ(c.erased, before != bench.Store()) << c.args[1] << ' ' << c.answer;
        if (c.status == 2) {
            EXPECT_NE(std::string::npos, err.str().find("--yes")) << err.str();
        }
        // On a terminal the status line is drawn in place.
        if (c.erased && c.terminal) {
            EXPECT_NE(std::string::npos, out.str().find('\r'));
        }
    }
}

TEST(CliSafety, SimulatesOnlyWhenAsked) {
    const char* previous = std::getenv("V62X_SIMULATE");
    const std::string kept = previous != nullptr ? previous : "";
    ::unsetenv("V62X_SIMULATE");
    std::ostringstream out, err;
    // The real host of this machine, which has no enclosure: nothing to erase.
    EXPECT_NE(0, RunCli({"run", "--yes", "--erase-only"}, out, err));
    EXPECT_EQ(std::string::npos, err.str().find("simulated")) << err.str();
    std::ostringstream out2, err2;
    EXPECT_EQ(0, RunCli({"--simulate", "bridge:kind=8", "list"}, out2, err2)) << err2.str();
    EXPECT_NE(std::string::npos, err2.str().find("simulated bridges: bridge:kind=8")) << err2.str();
    EXPECT_NE(std::string::npos, out2.str().find("[0]")) << out2.str();
    if (previous != nullptr) ::setenv("V62X_SIMULATE", kept.c_str(), 1);
}

TEST(CliSafety, CtrlCDuringAWriteLetsTheProcedureFinish) {
    Bench bench("bridge:kind=8");
    const std::string file = bench.dir.Write("fw.bin", Kind8Image(3));
    int requests = 0;
    SetRequestObserver([&requests](const HostRequest&, const HostReply&, int) {
        if (++requests == 30 || requests == 40) std::raise(SIGINT);  // twice, mid-programming
    });
    std::string output;
    const int status = bench.Run({"run", "--yes", "--file", file, "--include-nvram"}, &output);
    SetRequestObserver({});
    ASSERT_GT(requests, 40);
    EXPECT_EQ(0, status) << output;
    EXPECT_NE(std::string::npos, output.find("Programming Success!!")) << output;
    const Bytes flash = bench.Store();
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 65536, Kind8Image(3).begin()));
}

TEST(CliSafety, TheWindowsCheckRepairsABankAndKeepsItsOutcomeInTheStatus) {
    Bench bench("bridge:kind=12");
    CommandSession scoped(bench.host);
    const Bytes good = bench.Store();
    Bytes store = good;
    store[0x10100] ^= 0xFF;
    bench.SetStore(store);
    ToolState state;
    RefreshDevices(state.devices);
    RecordingPanel panel;
    ChipCheckRequest request;
    request.listEnabled = true;
    EXPECT_EQ("FW Recovery successful!!", UpdateBtnCheck(state, request, panel).status);
    EXPECT_EQ(good, bench.Store());
}

TEST(CliSafety, ARunProgramsTheBytesTheCheckAccepted) {
    Bench bench("bridge:kind=8");
    CommandSession scoped(bench.host);
    const std::string file = bench.dir.Write("fw.bin", Kind8Image(1));
    ToolState state;
    RefreshDevices(state.devices);
    RecordingPanel panel;
    panel.firmwareFile = file;
    panel.rdVersion = true;
    panel.includeNvram = true;
    ChipCheckRequest request;
    request.listEnabled = true;
    request.fileName = file;
    ASSERT_TRUE(UpdateBtnCheck(state, request, panel).runEnabled.value_or(false));

    // The file is replaced by another chip's image after the check.
    bench.dir.Write("fw.bin", Bytes(65536, 0x00));
    ProcedureContext ctx{state, panel, state.devices.records[0].InterfacePath};
    EXPECT_EQ(1, RunUpdate(ctx, RunRequest{}).result) << panel.status;
    const Bytes flash = bench.Store();
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 65536, Kind8Image(1).begin()));
}

TEST(CliSafety, ASavedNvramIsWrittenBackToABridgeOfItsKind) {
    Bench bench("bridge:kind=8;bridge:kind=6");
    const std::string state = bench.dir.File("state");
    const char* previous = std::getenv("XDG_STATE_HOME");
    const std::string kept = previous != nullptr ? previous : "";
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    Bytes store = bench.Store();
    for (std::size_t i = 0; i < 4096; ++i) store[i] = static_cast<std::uint8_t>(0x5A ^ i);
    bench.SetStore(store);

    std::string output;
    ASSERT_EQ(0, bench.Run({"run", "--yes", "--erase-only"}, &output)) << output;
    std::vector<std::filesystem::path> saved;
    for (const auto& e : std::filesystem::directory_iterator(state + "/v62xfwtool/nvram")) saved.push_back(e.path());
    ASSERT_EQ(1u, saved.size());
    EXPECT_EQ(0u, saved[0].filename().string().rfind("kind8-", 0));

    Bytes lost = bench.Store();
    std::fill_n(lost.begin(), 4096, 0xFF);
    bench.SetStore(lost);
    EXPECT_EQ(0, bench.Run({"run", "--yes", "--restore-nvram", saved[0].string()}, &output)) << output;
    EXPECT_TRUE(std::equal(store.begin(), store.begin() + 4096, bench.Store().begin()));

    const std::string kind6 = bench.host.Devices().at(1)->path();
    EXPECT_EQ(1, bench.Run({"run", "--yes", kind6, "--restore-nvram", saved[0].string()}, &output));
    EXPECT_NE(std::string::npos, output.find("is no NVRAM copy of a kind-6 bridge")) << output;
    if (kept.empty()) {
        ::unsetenv("XDG_STATE_HOME");
    } else {
        ::setenv("XDG_STATE_HOME", kept.c_str(), 1);
    }
}

}  // namespace
}  // namespace v62x
