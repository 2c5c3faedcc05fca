// Which procedure the Run button starts for each chip kind, flash and
// option, decided on simulated bridges; and what the dispatch itself does
// around the procedure.
#include "Fwupdate/RunDispatch.h"

#include <gtest/gtest.h>

#include "IDEAccess/Notifier.h"
#include "VirtualBridge/DiskFirmwareArea.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

using test::SimBench;

struct ChoiceCase {
    const char* description;
    RunChoice expected;
    bool vrs735 = false;
    bool eraseOnly = false;
    bool backupOnly = false;
    long fileBytes = -1;       // a firmware file of this size; -1: none
    bool flashMode = false;    // bridge memory reports flash mode
    int statusByte8 = -1;      // the disk-firmware indicator, when set
};

TEST(RunDispatch, ChoosesOneProcedurePerKindFlashAndOption) {
    const ChoiceCase cases[] = {
        {"bridge:kind=15,hddfw=1,flash=none", RunChoice::DiskFirmware},
        {"bridge:kind=15", RunChoice::StandardFlash},
        {"bridge:kind=15,flash=SST25VF016B", RunChoice::FullImage},
        {"bridge:kind=12", RunChoice::SerialFlash},
        {"bridge:kind=12", RunChoice::Vrs735DiskFirmware, true},
        {"bridge:kind=12,hddfw=1,flash=none", RunChoice::Vrs735DiskFirmware},
        {"bridge:kind=11,rev=4", RunChoice::NvramKeeping},
        {"bridge:kind=11,rev=4", RunChoice::SerialFlash, false, false, false, -1, true},
        {"bridge:kind=11,rev=5", RunChoice::SerialFlash},
        {"bridge:kind=11,rev=5,flash=SST25VF016B", RunChoice::FullImage},
        {"bridge:kind=11,rev=5", RunChoice::SerialFlash, true},
        {"bridge:kind=10", RunChoice::NvramKeeping, false, false, false, 524288},
        {"bridge:kind=10", RunChoice::SizeMessage, false, false, false, 524289},
        {"bridge:kind=10", RunChoice::NvramKeeping, false, true, false, 524289},
        {"bridge:kind=10", RunChoice::NvramKeeping, false, false, true, 524289},
        {"bridge:kind=10,flash=SST25VF016B", RunChoice::FullImage, false, false, false, 1024},
        {"bridge:kind=6", RunChoice::NvramKeeping},
        {"bridge:kind=8", RunChoice::SerialFlash},
        {"bridge:kind=7,rev=1,bus=1394", RunChoice::PageFlash},
        {"bridge:kind=7,rev=2,bus=1394", RunChoice::PageFlash},
        {"bridge:kind=7,rev=1,bus=usb", RunChoice::StandardFlash},
        {"bridge:kind=1", RunChoice::StandardFlash},
        {"bridge:kind=3", RunChoice::StandardFlash},
        {"bridge:kind=4", RunChoice::StandardFlash},
        {"bridge:kind=13", RunChoice::StandardFlash},
        {"bridge:kind=2", RunChoice::InternalRom},
        {"bridge:kind=20", RunChoice::InternalRom},
        {"bridge:kind=14", RunChoice::DiskFirmware},
        {"bridge:kind=5", RunChoice::DiskFirmware},
        {"bridge:kind=5,hddfw=0", RunChoice::Nothing},
        {"bridge:kind=5,hddfw=0", RunChoice::Nothing, false, false, false, -1, false, 0xCF},
        {"bridge:kind=5,hddfw=0", RunChoice::DiskFirmware, false, false, false, -1, false, 0xD0},
        {"bridge:kind=16", RunChoice::Nothing},
        {"bridge:kind=17", RunChoice::Nothing},
        {"bridge:kind=18", RunChoice::Nothing},
        {"bridge:kind=19", RunChoice::Nothing},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(std::string(c.description) + " expecting " + RunChoiceName(c.expected));
        std::vector<sim::DeviceConfig> configs = SimBench::Parse(c.description);
        ASSERT_EQ(1u, configs.size());
        if (c.statusByte8 >= 0) sim::SetStatusByte(configs[0].answers, 8, static_cast<std::uint8_t>(c.statusByte8));
        if (c.flashMode) {
            for (auto& block : configs[0].answers.memory) {
                if (block.address == sim::bridge_memory::kFlashMode) block.bytes = {0x00, 0x00, 0x01, 0x00};
            }
        }
        SimBench bench(configs);
        if (c.fileBytes >= 0) {
            bench.panel.firmwareFile = bench.dir.Write("fw.bin", test::Bytes(static_cast<std::size_t>(c.fileBytes), 0x11));
        }
        bench.panel.rdVersion = c.eraseOnly || c.backupOnly;
        bench.panel.eraseOnly = c.eraseOnly;
        bench.panel.backupOnly = c.backupOnly;
        RunRequest request;
        request.vrs735HddFw = c.vrs735;
        ProcedureContext ctx = bench.Context();
        EXPECT_EQ(RunChoiceName(c.expected), std::string(RunChoiceName(ChooseProcedure(ctx, request))));
    }
}

TEST(RunDispatch, TheSizeMessageEndsTheRunWithRunDisabled) {
    SimBench bench("bridge:kind=10");
    const std::size_t flashBytes = static_cast<std::size_t>(bench.state.id.FlashSizeKB) * 1024;
    ASSERT_GT(flashBytes, 0u);
    bench.panel.firmwareFile = bench.dir.Write("fw.bin", test::Bytes(flashBytes + 1, 0x11));
    bench.panel.status = "old text";
    ProcedureContext ctx = bench.Context();
    const RunOutcome outcome = RunUpdate(ctx, RunRequest{});
    EXPECT_EQ(RunChoice::SizeMessage, outcome.choice);
    EXPECT_EQ(0, outcome.result);
    EXPECT_FALSE(outcome.enableRun);
    EXPECT_EQ("", bench.panel.status) << "the status field is cleared first";
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ("Message", bench.panel.messages[0].title);
    EXPECT_EQ(kFileBiggerThanFlashText, bench.panel.messages[0].text);
    EXPECT_FALSE(bench.DiskWritten());
}

TEST(RunDispatch, AMissingFileGivesTheOpenErrorAndThenTheSizeMessage) {
    SimBench bench("bridge:kind=10");
    std::vector<OperatorMessage> notified;
    SetMessageNotifier([&](const OperatorMessage& m) { notified.push_back(m); });
    bench.panel.firmwareFile = bench.dir.File("missing.bin");
    ProcedureContext ctx = bench.Context();
    EXPECT_EQ(RunChoice::SizeMessage, RunUpdate(ctx, RunRequest{}).choice);
    SetMessageNotifier({});
    ASSERT_EQ(1u, notified.size());
    EXPECT_EQ("Open Firmware File Error!!", notified[0].text);
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ(kFileBiggerThanFlashText, bench.panel.messages[0].text);
}

TEST(RunDispatch, AChipNoProcedureServesRunsNothing) {
    std::vector<sim::DeviceConfig> configs = SimBench::Parse("bridge:kind=5,hddfw=0");
    sim::SetStatusByte(configs[0].answers, 8, 0xCF);
    SimBench bench(configs);
    ProcedureContext ctx = bench.Context();
    const RunOutcome outcome = RunUpdate(ctx, RunRequest{});
    EXPECT_EQ(RunChoice::Nothing, outcome.choice);
    EXPECT_TRUE(outcome.enableRun);
    EXPECT_TRUE(bench.panel.messages.empty());
    EXPECT_TRUE(bench.host.Log().empty() || !bench.DiskWritten());
}

}  // namespace
}  // namespace v62x
