#include "Fwupdate/InternalRomFlashUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Fwupdate/ProcedureHelpers.h"
#include "support/SimBench.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Lengths;
using test::ReadWholeFile;
using test::SimBench;

const Bytes kSwitchCdb = {0xFF, 0x04, 0x05};
const Bytes kBusyCdb = {0xFF, 0x04, 0x00};
const Bytes kEraseCdb = {0xFF, 0x04, 0x01};
const Bytes kProgramCdb = {0xFF, 0x04, 0x02};
const Bytes kReadCdb = {0xFF, 0x04, 0x03};
const Bytes kEraseSequenceCdb = {0xFF, 0x04, 0x04};

constexpr const char* kProgramDone = "Programming & Compare Success!!";

// The parts behind the ROM loader and their row in the operator's list.
struct Part {
    const char* name;
    int index;
};
const Part kParts[] = {{"AT49BV512", 0}, {"Pm39LV512", 1}, {"SST39LF512", 2}};

// Bytes with zeros, 0xFF and everything between, so that a wrong or missing
// byte anywhere shows.
Bytes Pattern(std::size_t size, unsigned seed) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 37 + (i >> 8) + seed);
    return out;
}

// A kind-2 or kind-20 bridge with one parallel part holding an old firmware
// (pattern 1).
std::vector<sim::DeviceConfig> Rom(const std::string& part, int kind = 2,
                                   const std::function<void(sim::DeviceConfig&)>& tweak = {}) {
    sim::DeviceConfig config = test::FlashBridge(kind, kind == 20 ? 0 : 1, part);
    config.flash.image = Pattern(kInternalRomFlashSize, 1);
    if (tweak) tweak(config);
    return {config};
}

int RunRom(SimBench& bench, int index) {
    return bench.Run([index](ProcedureContext& ctx) { return InternalRomFlashUpdate(ctx, index); });
}
// Programming from a file with `bytes`.
int Program(SimBench& bench, const Bytes& bytes, int index) {
    bench.UseFile(bytes);
    return RunRom(bench, index);
}
void SetEraseOnly(SimBench& bench) {
    bench.panel.eraseOnly = true;  // the window keeps the flag as the box's copy
    bench.state.id.EraseOnlyFlag = 1;
}
int Count(const SimBench& bench, const Bytes& prefix) { return static_cast<int>(bench.Sent(prefix).size()); }

// ---- The three branches with each part and its own row of the list.

TEST(InternalRomProgram, EachPartWithItsTypeIsProgrammedAndVerified) {
    for (const int kind : {2, 20}) {
        for (const Part& part : kParts) {
            SCOPED_TRACE(std::string(part.name) + " on kind " + std::to_string(kind));
            SimBench bench(Rom(part.name, kind));
            const Bytes image = Pattern(kInternalRomFlashSize, 9);
            EXPECT_EQ(1, Program(bench, image, part.index));
            EXPECT_TRUE(bench.Flash() == image);
            EXPECT_EQ((std::vector<std::string>{"Erase command ok!!", "Programming done, compare ...", kProgramDone}),
                      bench.panel.statusHistory);
            bench.ExpectOnlyMessage(kPowerCycleText);
            EXPECT_EQ(1, Count(bench, kSwitchCdb));
            EXPECT_EQ((std::vector<std::uint32_t>{kInternalRomFlashSize}), Lengths(bench.Sent(kProgramCdb)));
            // The erase check and the compare read the whole flash.
            EXPECT_EQ((std::vector<std::uint32_t>{kInternalRomFlashSize, kInternalRomFlashSize}),
                      Lengths(bench.Sent(kReadCdb)));
            // Each status text is redrawn at once; no window events in these runs.
            EXPECT_EQ(static_cast<int>(bench.panel.statusHistory.size()), bench.panel.statusRepaints);
            EXPECT_EQ(0, bench.panel.pendingEventCalls);
        }
    }
}

TEST(InternalRomErase, EachPartWithItsTypeIsErasedAndChecked) {
    for (const Part& part : kParts) {
        SCOPED_TRACE(part.name);
        SimBench bench(Rom(part.name));
        SetEraseOnly(bench);
        bench.panel.firmwareFile = "/nonexistent/never-read.bin";
        EXPECT_EQ(1, RunRom(bench, part.index));
        EXPECT_TRUE(std::all_of(bench.Flash().begin(), bench.Flash().end(), [](std::uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ((std::vector<std::string>{"Start Erase only!", "Erase command ok!!", "Erase All success!!"}),
                  bench.panel.statusHistory);
        bench.ExpectOnlyMessage(kPowerCycleText);
        EXPECT_EQ(1, Count(bench, kSwitchCdb));
        EXPECT_EQ(0, Count(bench, kProgramCdb));
    }
}

TEST(InternalRomBackup, EachPartIsSavedWhole) {
    for (const Part& part : kParts) {
        SCOPED_TRACE(part.name);
        SimBench bench(Rom(part.name));
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("saved.bin");
        EXPECT_EQ(1, RunRom(bench, part.index));
        EXPECT_TRUE(ReadWholeFile(bench.panel.backupFile) == bench.before);
        EXPECT_TRUE(bench.Flash() == bench.before);
        EXPECT_EQ((std::vector<std::string>{"Backup ...", "Read flash and backup success!"}),
                  bench.panel.statusHistory);
        EXPECT_TRUE(bench.panel.messages.empty());
        EXPECT_EQ(1, Count(bench, kSwitchCdb));
        EXPECT_EQ(0, Count(bench, kEraseCdb) + Count(bench, kEraseSequenceCdb) + Count(bench, kProgramCdb));
    }
}

TEST(InternalRomLimit, ADriverPassingLessThanTheImageRefusesBeforeTheErase) {
    // 32 KiB per request: the backup reads in two pieces, the program
    // command (the whole image in one) is refused before anything is erased.
    SimBench bench(Rom("AT49BV512", 2, [](sim::DeviceConfig& config) { config.maxTransfer = 32 * 1024; }));
    bench.panel.backupOnly = true;
    bench.panel.backupFile = bench.dir.File("saved.bin");
    EXPECT_EQ(1, RunRom(bench, 0));
    EXPECT_TRUE(ReadWholeFile(bench.panel.backupFile) == bench.before);
    EXPECT_EQ((std::vector<std::uint32_t>{32768, 32768}), Lengths(bench.Sent(kReadCdb)));

    bench.panel.backupOnly = false;
    EXPECT_EQ(0, Program(bench, Pattern(kInternalRomFlashSize, 3), 0));
    EXPECT_EQ((std::vector<std::string>{"Backup ...", "Read flash and backup success!",
                                        "The storage driver of " + bench.Path() +
                                            " passes at most 32 KiB in one request; this command needs 64 KiB in "
                                            "one. Nothing was written. As root, raise the limit with: echo 128 > "
                                            "/sys/block/<disk>/device/max_sectors"}),
              bench.panel.statusHistory);
    EXPECT_TRUE(bench.Flash() == bench.before);
    EXPECT_EQ(0, Count(bench, kEraseCdb) + Count(bench, kEraseSequenceCdb) + Count(bench, kProgramCdb));
}

TEST(InternalRomBranches, EraseOnlyComesBeforeBackupOnly) {
    SimBench bench(Rom("SST39LF512"));
    SetEraseOnly(bench);
    bench.panel.backupOnly = true;
    bench.panel.backupFile = bench.dir.File("saved.bin");
    EXPECT_EQ(1, RunRom(bench, 2));
    EXPECT_TRUE(bench.Shown("Erase All success!!"));
    EXPECT_FALSE(fs::exists(bench.panel.backupFile));
}

// A row other than the part's sends command cycles the part does not decode
// (or, for an unknown row, zeros): nothing is erased or programmed, and the
// run must say so instead of reporting success.
TEST(InternalRomWrongType, FailsWithoutFalseSuccess) {
    struct Row {
        const char* part;
        int index;
    };
    const Row rows[] = {{"AT49BV512", 1}, {"SST39LF512", 1}, {"Pm39LV512", 3}, {"AT49BV512", -1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.part) + " as row " + std::to_string(row.index));
        {
            SimBench bench(Rom(row.part));
            EXPECT_EQ(0, Program(bench, Pattern(kInternalRomFlashSize, 9), row.index));
            EXPECT_EQ("Not Erase correctly!", bench.panel.status);
            EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
            EXPECT_TRUE(bench.Flash() == bench.before);
        }
        {
            SimBench bench(Rom(row.part));
            SetEraseOnly(bench);
            EXPECT_EQ(0, RunRom(bench, row.index));
            EXPECT_EQ("Not Erase correctly!", bench.panel.status);
            EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
        }
        {
            // On a blank part the erase check passes; the compare catches it.
            SimBench bench(Rom(row.part, 2, [](sim::DeviceConfig& c) { c.flash.image.clear(); }));
            EXPECT_EQ(0, Program(bench, Pattern(kInternalRomFlashSize, 9), row.index));
            EXPECT_EQ("Compare Fail!!", bench.panel.status);
            EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
        }
    }
}

// ---- "A1 Chip" and the switch to the internal ROM.

TEST(InternalRomSwitch, A1ChipIsProgrammedWithoutTheSwitch) {
    SimBench bench(Rom("AT49BV512"));
    bench.Fail(kSwitchCdb);  // this bridge would refuse the switch
    bench.panel.a1Chip = true;
    const Bytes image = Pattern(kInternalRomFlashSize, 5);
    EXPECT_EQ(1, Program(bench, image, 0));
    EXPECT_TRUE(bench.Flash() == image);
    EXPECT_EQ(0, Count(bench, kSwitchCdb));
    EXPECT_EQ(kProgramDone, bench.panel.status);
}

TEST(InternalRomSwitch, RefusedSwitchStopsBeforeTheFlash) {
    for (const bool eraseOnly : {false, true}) {
        SimBench bench(Rom("SST39LF512"));
        bench.Fail(kSwitchCdb);
        if (eraseOnly) SetEraseOnly(bench);
        EXPECT_EQ(0, Program(bench, Pattern(kInternalRomFlashSize, 5), 2));
        EXPECT_EQ((std::vector<std::string>{"Can't switch to internal ROM"}), bench.panel.statusHistory);
        EXPECT_EQ(static_cast<int>(bench.host.Log().size()), Count(bench, kSwitchCdb));
        EXPECT_TRUE(bench.Flash() == bench.before);
        EXPECT_TRUE(bench.panel.messages.empty());
    }
}

// ---- The firmware file.

// The file goes out padded with zeros to the whole flash, in one command.
TEST(InternalRomFile, ShortOrWholeFilesAreProgrammedToTheWholeFlash) {
    struct Case {
        const char* part;
        int index;
        std::size_t size;
        unsigned seed;
    };
    for (const Case& c : {Case{"Pm39LV512", 1, 40000, 3}, Case{"SST39LF512", 2, kInternalRomFlashSize, 11}}) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes");
        SimBench bench(Rom(c.part));
        Bytes image = Pattern(c.size, c.seed);
        EXPECT_EQ(1, Program(bench, image, c.index));
        image.resize(kInternalRomFlashSize, 0x00);
        EXPECT_TRUE(bench.Flash() == image);
        EXPECT_EQ((std::vector<std::uint32_t>{kInternalRomFlashSize}), Lengths(bench.Sent(kProgramCdb)));
        EXPECT_EQ(kProgramDone, bench.panel.status);
    }
}

TEST(InternalRomFile, PaddingIsComparedToo) {
    SimBench bench(Rom("Pm39LV512"));
    bench.device->parallelFlash()->AddStuckBit(65535, 0, true);  // the last byte cannot become 0x00
    EXPECT_EQ(0, Program(bench, Pattern(40000, 3), 1));
    EXPECT_EQ("Compare Fail!!", bench.panel.status);
    EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
}

// A file that cannot be programmed in full is refused before anything is
// erased: the bridge keeps its old firmware.
TEST(InternalRomFile, UnusableFileLeavesTheFlashUntouched) {
    struct Row {
        const char* what;
        std::function<std::string(SimBench&)> file;
        const char* status;
    };
    const Row rows[] = {
        {"missing", [](SimBench& r) { return r.dir.File("absent.bin"); }, "Open New ROM File Error!!"},
        {"no name", [](SimBench&) { return std::string(); }, "Open New ROM File Error!!"},
        {"a directory", [](SimBench& r) { return r.dir.File(""); }, "Open New ROM File Error!!"},
        {"65,537 bytes", [](SimBench& r) { return r.dir.Write("long.bin", Pattern(kInternalRomFlashSize + 1, 2)); },
         "New ROM File is bigger than 64KB!!"},
        {"empty", [](SimBench& r) { return r.dir.Write("empty.bin", {}); }, "New ROM File is empty!!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SimBench bench(Rom("AT49BV512"));
        bench.panel.firmwareFile = row.file(bench);
        EXPECT_EQ(0, RunRom(bench, 0));
        EXPECT_EQ((std::vector<std::string>{row.status}), bench.panel.statusHistory);
        EXPECT_TRUE(bench.Flash() == bench.before);
        EXPECT_EQ(0, Count(bench, kEraseSequenceCdb) + Count(bench, kEraseCdb) + Count(bench, kProgramCdb));
        EXPECT_TRUE(bench.panel.messages.empty());
    }
}

// ---- An erase that does not confirm while programming.

TEST(InternalRomProgram, RefusedEraseStartGoesOnToProgramming) {
    SimBench bench(Rom("SST39LF512", 2, [](sim::DeviceConfig& c) { c.flash.image.clear(); }));  // blank already
    bench.Fail(kEraseCdb);
    const Bytes image = Pattern(kInternalRomFlashSize, 4);
    EXPECT_EQ(1, Program(bench, image, 2));
    EXPECT_FALSE(bench.Shown("Erase command ok!!"));
    EXPECT_EQ(1, Count(bench, kReadCdb));  // no erase check, only the compare
    EXPECT_TRUE(bench.Flash() == image);
    EXPECT_EQ(kProgramDone, bench.panel.status);
}

TEST(InternalRomProgram, RefusedEraseStartOnAnOldFirmwareFailsTheCompare) {
    SimBench bench(Rom("SST39LF512"));
    bench.Fail(kEraseCdb);
    EXPECT_EQ(0, Program(bench, Pattern(kInternalRomFlashSize, 4), 2));
    EXPECT_EQ("Compare Fail!!", bench.panel.status);
    EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
}

TEST(InternalRomProgram, EraseThatOutlastsTheWaitStillEndsInTheProgram) {
    // The first wait gives up after about 19 s; the erase ends at 25 s,
    // within the wait that comes before the program command.
    SimBench bench(Rom("SST39LF512", 2, [](sim::DeviceConfig& c) { c.flash.parallel->chipEraseUs = 25'000'000; }));
    const Bytes image = Pattern(kInternalRomFlashSize, 4);
    EXPECT_EQ(1, Program(bench, image, 2));
    EXPECT_EQ((std::vector<std::string>{"Erase command ok,status fail!!", "Programming done, compare ...", kProgramDone}),
              bench.panel.statusHistory);
    EXPECT_EQ(1, Count(bench, kReadCdb));  // no erase check, only the compare
    EXPECT_TRUE(bench.Flash() == image);
}

TEST(InternalRomProgram, FailedEraseCheckReadIsPassedOver) {
    SimBench bench(Rom("Pm39LV512"));
    bench.Fail(kReadCdb, 1);
    const Bytes image = Pattern(kInternalRomFlashSize, 6);
    EXPECT_EQ(1, Program(bench, image, 1));
    EXPECT_TRUE(bench.Shown("Erase command ok!!"));
    EXPECT_TRUE(bench.Flash() == image);
}

// ---- Each failure of programming.

TEST(InternalRomProgram, EachFailureHasItsText) {
    struct Row {
        const char* what;
        std::function<void(SimBench&)> fault;
        const char* status;
        bool programSent;
    };
    const Row rows[] = {
        {"erase sequence refused", [](SimBench& r) { r.Fail(kEraseSequenceCdb); }, "Error pre-erase command!!", false},
        {"a bit that stays 0", [](SimBench& r) { r.device->parallelFlash()->AddStuckBit(0x1234, 3, false); },
         "Not Erase correctly!", false},
        {"program refused", [](SimBench& r) { r.Fail(kProgramCdb); }, "Programming Fail!!", false},
        {"compare read fails", [](SimBench& r) { r.Fail(kReadCdb, 2); }, "Read Fail!!", true},
        {"a bit that stays 1", [](SimBench& r) { r.device->parallelFlash()->AddStuckBit(0x2000, 7, true); },
         "Compare Fail!!", true},
        {"data lost on the way", [](SimBench& r) {
             r.Fail(kProgramCdb, 0, sim::FaultKind::ShortTransfer, 1000);
         },
         "Compare Fail!!", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SimBench bench(Rom("AT49BV512", 20));
        row.fault(bench);
        Bytes image = Pattern(kInternalRomFlashSize, 8);
        image[0x2000] = 0x00;
        EXPECT_EQ(0, Program(bench, image, 0));
        EXPECT_EQ(row.status, bench.panel.status);
        EXPECT_FALSE(bench.Shown(kProgramDone));
        EXPECT_EQ(row.programSent, bench.Shown("Programming done, compare ..."));
        EXPECT_FALSE(bench.Shown("Programming Success!!")) << "no success before the read-back";
        EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
    }
}

TEST(InternalRomProgram, NeverReadyFlashIsNotProgrammed) {
    SimBench bench(Rom("SST39LF512"));
    bench.device->parallelFlash()->SetNeverReady(true);
    EXPECT_EQ(0, Program(bench, Pattern(kInternalRomFlashSize, 8), 2));
    EXPECT_EQ("Programming Fail!!", bench.panel.status);
    EXPECT_TRUE(bench.Flash() == bench.before);
    EXPECT_FALSE(bench.MessageShown(kPowerCycleText));
}

// ---- Erase only: only a blank read-back is a success.

TEST(InternalRomErase, SlowPartTimesOutAfterFiftyThousandPolls) {
    // A part whose chip erase outlasts the wait (50,000 polls of about 0.4 ms).
    SimBench bench(Rom("SST39LF512", 2, [](sim::DeviceConfig& c) { c.flash.parallel->chipEraseUs = 60'000'000; }));
    SetEraseOnly(bench);
    EXPECT_EQ(0, RunRom(bench, 2));
    EXPECT_EQ((std::vector<std::string>{"Start Erase only!", "Erase command ok,status fail!!"}),
              bench.panel.statusHistory);
    EXPECT_EQ(kRomIdleRounds * kRomIdlePollsPerRound, Count(bench, kBusyCdb));
    EXPECT_EQ(50000, Count(bench, kBusyCdb));
    EXPECT_EQ(0, Count(bench, kReadCdb));
    EXPECT_TRUE(bench.panel.messages.empty());
}

TEST(InternalRomErase, EachFailureHasItsTextAndNoPowerCycle) {
    struct Row {
        const char* what;
        std::function<void(SimBench&)> fault;
        const char* status;
    };
    const Row rows[] = {
        {"erase sequence refused", [](SimBench& r) { r.Fail(kEraseSequenceCdb); }, "Error pre-erase command!!"},
        {"erase start refused", [](SimBench& r) { r.Fail(kEraseCdb); }, "Erase command fail!!"},
        {"read-back fails", [](SimBench& r) { r.Fail(kReadCdb); }, "Read Back after Erase fail!!"},
        {"a bit that stays 0", [](SimBench& r) { r.device->parallelFlash()->AddStuckBit(0xFFFF, 0, false); },
         "Not Erase correctly!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SimBench bench(Rom("Pm39LV512"));
        SetEraseOnly(bench);
        row.fault(bench);
        EXPECT_EQ(0, RunRom(bench, 1));
        EXPECT_EQ(row.status, bench.panel.status);
        EXPECT_FALSE(bench.Shown("Erase All success!!"));
        EXPECT_TRUE(bench.panel.messages.empty());
    }
}

// ---- Backup only.

TEST(InternalRomBackup, AlwaysTheWholeFlashWhateverFirmwareSizeSays) {
    for (const std::int32_t size : {32768, 262144}) {
        SCOPED_TRACE(size);
        SimBench bench(Rom("AT49BV512"));
        bench.state.flash.FirmwareSize = size;
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("saved.bin");
        EXPECT_EQ(1, RunRom(bench, 0));
        EXPECT_TRUE(ReadWholeFile(bench.panel.backupFile) == bench.before);
        EXPECT_EQ((std::vector<std::uint32_t>{kInternalRomFlashSize}), Lengths(bench.Sent(kReadCdb)));
    }
}

TEST(InternalRomBackup, DefaultNameInTheWorkingDirectoryOverwritesAnOldFile) {
    SimBench bench(Rom("SST39LF512"));
    test::InDirectory cwd(bench.dir.File(""));
    bench.dir.Write(kDefaultBackupFile, Bytes(100000, 0x77));
    bench.panel.backupOnly = true;
    EXPECT_EQ(1, RunRom(bench, 2));
    ASSERT_EQ(1u, bench.panel.messages.size());
    EXPECT_EQ("Message", bench.panel.messages[0].title);
    EXPECT_EQ("Default backup firmware as OldFalsh.bak!", bench.panel.messages[0].text);
    EXPECT_TRUE(ReadWholeFile(bench.dir.File("oldflash.bak")) == bench.before);
}

TEST(InternalRomBackup, ReadAndSaveFailuresHaveTheirTexts) {
    {
        SimBench bench(Rom("Pm39LV512"));
        bench.Fail(kReadCdb);
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("saved.bin");
        EXPECT_EQ(0, RunRom(bench, 1));
        EXPECT_EQ("Read ROM fail!!", bench.panel.status);
        EXPECT_FALSE(fs::exists(bench.panel.backupFile));
    }
    {
        SimBench bench(Rom("Pm39LV512"));
        bench.panel.backupOnly = true;
        bench.panel.backupFile = bench.dir.File("no-such-dir/saved.bin");
        EXPECT_EQ(0, RunRom(bench, 1));
        EXPECT_EQ("Read ROM Suceess, but save to file fail!!", bench.panel.status);
    }
    if (fs::exists("/dev/full")) {
        // The file opens but the write cannot be completed.
        SimBench bench(Rom("Pm39LV512"));
        bench.panel.backupOnly = true;
        bench.panel.backupFile = "/dev/full";
        EXPECT_EQ(0, RunRom(bench, 1));
        EXPECT_EQ("Read ROM Suceess, but save to file fail!!", bench.panel.status);
    }
}

// ---- The busy wait.

// A poll that cannot be read counts as busy: the wait ends at the first
// idle poll, or after 50,000.
TEST(WaitRomIdle, EndsAtTheFirstIdlePollOrAtTheLimit) {
    struct Case {
        const char* what;
        int failing;  // the poll that fails from (0: every one)
        int result;
        int polls;
    };
    const Case cases[] = {{"the bridge stops answering", 0, 0, 50000}, {"the first poll cannot be read", 1, 1, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(Rom("SST39LF512"));
        bench.Fail(kBusyCdb, c.failing, sim::FaultKind::Transport);
        EXPECT_EQ(c.result, WaitRomIdle(bench.Path()));
        EXPECT_EQ(c.polls, Count(bench, kBusyCdb));
    }
}

}  // namespace
}  // namespace v62x
