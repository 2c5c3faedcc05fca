// The demo set scripts/demo shows: on a host built from its V62X_SIMULATE
// value, every bridge is listed, the chip check takes its image, Run starts
// the procedure the demo announces and ends in success, and after a power
// cycle the bridge runs a firmware from its store again, with either choice
// of "Include 4K NVRAM".
#include "VirtualBridge/DemoSet.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/ImageChecks.h"
#include "Fwupdate/RunDispatch.h"
#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Host.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "support/ScratchDir.h"

namespace v62x {
namespace {

struct DemoCase {
    const char* product;
    RunChoice choice;
    bool fileAccepted = true;  // the chip check enables Run for the image
    int flashTypeIndex = 0;    // the window's parallel-flash choice
};

TEST(DemoSet, EveryBridgeIsListedTakesItsImageAndRunsToSuccess) {
    const DemoCase cases[] = {
        {"Serial flash 645", RunChoice::SerialFlash},
        {"Std flash 624", RunChoice::StandardFlash},
        {"NVRAM flash 641", RunChoice::NvramKeeping},
        {"Internal ROM 621", RunChoice::InternalRom, true, 0},  // AT49BV512, the window's first choice
        {"Page flash 642", RunChoice::PageFlash},
        {"Two-bank 735", RunChoice::SerialFlash},
        // The file check takes no file for a kind-14 chip, so the window
        // never enables Run for it; the procedure itself still works.
        {"Disk fw 705", RunChoice::DiskFirmware, false},
        {"Disk fw 735", RunChoice::Vrs735DiskFirmware},
    };
    std::vector<sim::DemoBridge> bridges;
    std::string why;
    ASSERT_TRUE(sim::DemoBridges(bridges, why)) << why;
    ASSERT_EQ(std::size(cases), bridges.size());
    const std::string description = sim::DemoSimulation(bridges);

    std::set<std::string> names;
    for (const sim::DemoBridge& bridge : bridges) names.insert(bridge.imageName);
    EXPECT_EQ(bridges.size(), names.size()) << "two bridges would share one image file";

    test::ScratchDir dir("v62x-demo");
    ASSERT_TRUE(dir.ok());
    for (std::size_t i = 0; i < bridges.size(); ++i) {
        const DemoCase& c = cases[i];
        const sim::DemoBridge& bridge = bridges[i];
        const std::string image = dir.Write(bridge.imageName, bridge.image);
        for (const bool includeNvram : {true, false}) {
            SCOPED_TRACE(std::string(c.product) + (includeNvram ? ", NVRAM from the image" : ", NVRAM kept"));
            sim::SimulatedHost host;
            CommandSession scoped(host);
            std::vector<sim::DeviceConfig> configs;
            ASSERT_TRUE(sim::ParseSimulationDescription(description, configs, why)) << why;
            for (const sim::DeviceConfig& config : configs) host.AddDevice(config);

            ToolState state;
            const RefreshOutcome listed = RefreshDevices(state.devices);
            ASSERT_EQ(bridges.size(), listed.entries.size());
            EXPECT_NE(std::string::npos, listed.entries[i].find(c.product)) << listed.entries[i];
            EXPECT_EQ(c.product, bridge.product);

            RecordingPanel panel;
            panel.firmwareFile = image;
            panel.includeNvram = includeNvram;
            ChipCheckRequest request;
            request.selected = static_cast<int>(i);
            request.listEnabled = true;
            request.fileName = image;
            const ChipView view = UpdateBtnCheck(state, request, panel);
            EXPECT_EQ(c.fileAccepted, view.runEnabled.value_or(false));
            EXPECT_EQ(!c.fileAccepted, view.fileMismatch);
            EXPECT_NE(0, FileChecksumOk(image, state.currentChip)) << "\"Check CheckSum\" would refuse it";

            const std::string path = state.devices.records[i].InterfacePath;
            ProcedureContext ctx{state, panel, path};
            RunRequest run;
            run.flashTypeIndex = c.flashTypeIndex;
            const RunOutcome outcome = RunUpdate(ctx, run);
            EXPECT_EQ(c.choice, outcome.choice);
            EXPECT_EQ(bridge.procedure, RunChoiceName(outcome.choice)) << "the demo announces another procedure";
            EXPECT_NE(0, outcome.result) << "status: " << panel.status;

            host.PowerCycle(path);
            RefreshDevices(state.devices);
            request.fileName.clear();
            const ChipView after = UpdateBtnCheck(state, request, panel);
            EXPECT_TRUE(after.checked);
            EXPECT_NE("Internal code", after.version) << "the bridge no longer runs a firmware";
        }
    }
}

}  // namespace
}  // namespace v62x
