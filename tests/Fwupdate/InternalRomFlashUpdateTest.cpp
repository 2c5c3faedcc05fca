#include "Fwupdate/InternalRomFlashUpdate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Fwupdate/ProcedureHelpers.h"
#include "support/Bytes.h"
#include "support/ScratchDir.h"
#include "support/SimBridges.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ReadWholeFile;

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
// (pattern 1), on a simulated host, with the tool state and a panel.
struct Rig {
    sim::SimulatedHost host;
    ScopedHost scoped{host};
    ToolState state;
    RecordingPanel panel;
    test::ScratchDir dir{"v62x-irom"};
    sim::VirtualDevice* device = nullptr;
    Bytes before;  // the flash as delivered

    explicit Rig(const std::string& part, int kind = 2,
                 const std::function<void(sim::DeviceConfig&)>& tweak = {}) {
        EXPECT_TRUE(dir.ok());
        sim::DeviceConfig config = test::BridgeConfig(kind, kind == 20 ? 0 : 1);
        std::string why;
        EXPECT_TRUE(sim::SetFlashPart(config.flash, part, why)) << why;
        config.flash.image = Pattern(kInternalRomFlashSize, 1);
        if (tweak) tweak(config);
        device = &host.AddDevice(config);
        before = Flash();
    }

    const Bytes& Flash() { return *device->FlashContents(); }

    std::string WriteFile(const std::string& name, const Bytes& bytes) {
        return dir.Write(name, bytes);
    }

    // Programming from a file with `bytes`.
    int Program(const Bytes& bytes, int index) {
        panel.firmwareFile = WriteFile("new.bin", bytes);
        return Run(index);
    }

    int Run(int index) {
        ProcedureContext ctx{state, panel, device->path()};
        return InternalRomFlashUpdate(ctx, index);
    }

    void SetEraseOnly() {
        panel.eraseOnly = true;  // the window keeps the flag as the box's copy
        state.id.EraseOnlyFlag = 1;
    }

    void Fail(const Bytes& prefix, int nth = 0, sim::FaultKind kind = sim::FaultKind::CheckCondition) {
        host.AddFault({"", prefix, nth, kind});
    }

    int Count(const Bytes& prefix) const {
        return static_cast<int>(std::count_if(host.Log().begin(), host.Log().end(), [&](const sim::LogEntry& e) {
            return e.cdb.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), e.cdb.begin());
        }));
    }
    std::vector<std::uint32_t> Lengths(const Bytes& prefix) const {
        std::vector<std::uint32_t> out;
        for (const sim::LogEntry& e : host.Log()) {
            if (e.cdb.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), e.cdb.begin())) {
                out.push_back(e.length);
            }
        }
        return out;
    }

    bool Saw(const std::string& text) const {
        return std::find(panel.statusHistory.begin(), panel.statusHistory.end(), text) !=
               panel.statusHistory.end();
    }
    bool PowerCycleAsked() const {
        return std::any_of(panel.messages.begin(), panel.messages.end(), [](const RecordingPanel::Message& m) {
            return m.title == "Message" && m.text == kPowerCycleText;
        });
    }
};

// Keeps FirmwareSize as a test found it.
struct FirmwareSizeGuard {
    std::int32_t saved = Geometry().FirmwareSize;
    ~FirmwareSizeGuard() { Geometry().FirmwareSize = saved; }
};

// Runs a test in another working directory.
struct WorkingDirectory {
    fs::path saved = fs::current_path();
    explicit WorkingDirectory(const fs::path& dir) { fs::current_path(dir); }
    ~WorkingDirectory() {
        std::error_code ignored;
        fs::current_path(saved, ignored);
    }
};

// ---- The three branches with each part and its own row of the list.

TEST(InternalRomProgram, EachPartWithItsTypeIsProgrammedAndVerified) {
    for (const int kind : {2, 20}) {
        for (const Part& part : kParts) {
            SCOPED_TRACE(std::string(part.name) + " on kind " + std::to_string(kind));
            Rig rig(part.name, kind);
            const Bytes image = Pattern(kInternalRomFlashSize, 9);
            EXPECT_EQ(1, rig.Program(image, part.index));
            EXPECT_TRUE(rig.Flash() == image);
            EXPECT_EQ((std::vector<std::string>{"Erase command ok!!", "Programming done, compare ...", kProgramDone}),
                      rig.panel.statusHistory);
            ASSERT_EQ(1u, rig.panel.messages.size());
            EXPECT_TRUE(rig.PowerCycleAsked());
            EXPECT_EQ(1, rig.Count(kSwitchCdb));
            EXPECT_EQ((std::vector<std::uint32_t>{kInternalRomFlashSize}), rig.Lengths(kProgramCdb));
            // The erase check and the compare read the whole flash.
            EXPECT_EQ((std::vector<std::uint32_t>{kInternalRomFlashSize, kInternalRomFlashSize}),
                      rig.Lengths(kReadCdb));
            // Each status text is redrawn at once; no window events in these runs.
            EXPECT_EQ(static_cast<int>(rig.panel.statusHistory.size()), rig.panel.statusRepaints);
            EXPECT_EQ(0, rig.panel.pendingEventCalls);
        }
    }
}

TEST(InternalRomErase, EachPartWithItsTypeIsErasedAndChecked) {
    for (const Part& part : kParts) {
        SCOPED_TRACE(part.name);
        Rig rig(part.name);
        rig.SetEraseOnly();
        rig.panel.firmwareFile = "/nonexistent/never-read.bin";
        EXPECT_EQ(1, rig.Run(part.index));
        EXPECT_TRUE(std::all_of(rig.Flash().begin(), rig.Flash().end(), [](std::uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ((std::vector<std::string>{"Start Erase only!", "Erase command ok!!", "Erase All success!!"}),
                  rig.panel.statusHistory);
        EXPECT_TRUE(rig.PowerCycleAsked());
        EXPECT_EQ(1, rig.Count(kSwitchCdb));
        EXPECT_EQ(0, rig.Count(kProgramCdb));
    }
}

TEST(InternalRomBackup, EachPartIsSavedWhole) {
    for (const Part& part : kParts) {
        SCOPED_TRACE(part.name);
        Rig rig(part.name);
        rig.panel.backupOnly = true;
        rig.panel.backupFile = rig.dir.File("saved.bin");
        EXPECT_EQ(1, rig.Run(part.index));
        EXPECT_TRUE(ReadWholeFile(rig.panel.backupFile) == rig.before);
        EXPECT_TRUE(rig.Flash() == rig.before);
        EXPECT_EQ((std::vector<std::string>{"Backup ...", "Read flash and backup success!"}),
                  rig.panel.statusHistory);
        EXPECT_TRUE(rig.panel.messages.empty());
        EXPECT_EQ(1, rig.Count(kSwitchCdb));
        EXPECT_EQ(0, rig.Count(kEraseCdb) + rig.Count(kEraseSequenceCdb) + rig.Count(kProgramCdb));
    }
}

TEST(InternalRomLimit, ADriverPassingLessThanTheImageRefusesBeforeTheErase) {
    // 32 KiB per request: the backup reads in two pieces, the program
    // command (the whole image in one) is refused before anything is erased.
    Rig rig("AT49BV512", 2, [](sim::DeviceConfig& config) { config.maxTransfer = 32 * 1024; });
    rig.panel.backupOnly = true;
    rig.panel.backupFile = rig.dir.File("saved.bin");
    EXPECT_EQ(1, rig.Run(0));
    EXPECT_TRUE(ReadWholeFile(rig.panel.backupFile) == rig.before);
    EXPECT_EQ((std::vector<std::uint32_t>{32768, 32768}), rig.Lengths(kReadCdb));

    rig.panel.backupOnly = false;
    EXPECT_EQ(0, rig.Program(Pattern(kInternalRomFlashSize, 3), 0));
    EXPECT_EQ((std::vector<std::string>{"Backup ...", "Read flash and backup success!",
                                        "The storage driver of " + rig.device->path() +
                                            " passes at most 32 KiB in one request; this command needs 64 KiB in "
                                            "one. Nothing was written. As root, raise the limit with: echo 128 > "
                                            "/sys/block/<disk>/device/max_sectors"}),
              rig.panel.statusHistory);
    EXPECT_TRUE(rig.Flash() == rig.before);
    EXPECT_EQ(0, rig.Count(kEraseCdb) + rig.Count(kEraseSequenceCdb) + rig.Count(kProgramCdb));
}

TEST(InternalRomBranches, EraseOnlyComesBeforeBackupOnly) {
    Rig rig("SST39LF512");
    rig.SetEraseOnly();
    rig.panel.backupOnly = true;
    rig.panel.backupFile = rig.dir.File("saved.bin");
    EXPECT_EQ(1, rig.Run(2));
    EXPECT_TRUE(rig.Saw("Erase All success!!"));
    EXPECT_FALSE(fs::exists(rig.panel.backupFile));
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
            Rig rig(row.part);
            EXPECT_EQ(0, rig.Program(Pattern(kInternalRomFlashSize, 9), row.index));
            EXPECT_EQ("Not Erase correctly!", rig.panel.status);
            EXPECT_FALSE(rig.PowerCycleAsked());
            EXPECT_TRUE(rig.Flash() == rig.before);
        }
        {
            Rig rig(row.part);
            rig.SetEraseOnly();
            EXPECT_EQ(0, rig.Run(row.index));
            EXPECT_EQ("Not Erase correctly!", rig.panel.status);
            EXPECT_FALSE(rig.PowerCycleAsked());
        }
        {
            // On a blank part the erase check passes; the compare catches it.
            Rig rig(row.part, 2, [](sim::DeviceConfig& c) { c.flash.image.clear(); });
            EXPECT_EQ(0, rig.Program(Pattern(kInternalRomFlashSize, 9), row.index));
            EXPECT_EQ("Compare Fail!!", rig.panel.status);
            EXPECT_FALSE(rig.PowerCycleAsked());
        }
    }
}

// ---- "A1 Chip" and the switch to the internal ROM.

TEST(InternalRomSwitch, A1ChipIsProgrammedWithoutTheSwitch) {
    Rig rig("AT49BV512");
    rig.Fail(kSwitchCdb);  // this bridge would refuse the switch
    rig.panel.a1Chip = true;
    const Bytes image = Pattern(kInternalRomFlashSize, 5);
    EXPECT_EQ(1, rig.Program(image, 0));
    EXPECT_TRUE(rig.Flash() == image);
    EXPECT_EQ(0, rig.Count(kSwitchCdb));
    EXPECT_EQ(kProgramDone, rig.panel.status);
}

TEST(InternalRomSwitch, RefusedSwitchStopsBeforeTheFlash) {
    for (const bool eraseOnly : {false, true}) {
        Rig rig("SST39LF512");
        rig.Fail(kSwitchCdb);
        if (eraseOnly) rig.SetEraseOnly();
        EXPECT_EQ(0, rig.Program(Pattern(kInternalRomFlashSize, 5), 2));
        EXPECT_EQ((std::vector<std::string>{"Can't switch to internal ROM"}), rig.panel.statusHistory);
        EXPECT_EQ(static_cast<int>(rig.host.Log().size()), rig.Count(kSwitchCdb));
        EXPECT_TRUE(rig.Flash() == rig.before);
        EXPECT_TRUE(rig.panel.messages.empty());
    }
}

// ---- The firmware file.

TEST(InternalRomFile, ShortFileIsPaddedWithZerosToTheWholeFlash) {
    Rig rig("Pm39LV512");
    const Bytes file = Pattern(40000, 3);
    EXPECT_EQ(1, rig.Program(file, 1));
    EXPECT_EQ((std::vector<std::uint32_t>{kInternalRomFlashSize}), rig.Lengths(kProgramCdb));
    EXPECT_TRUE(std::equal(file.begin(), file.end(), rig.Flash().begin()));
    EXPECT_TRUE(std::all_of(rig.Flash().begin() + 40000, rig.Flash().end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(kProgramDone, rig.panel.status);
}

TEST(InternalRomFile, PaddingIsComparedToo) {
    Rig rig("Pm39LV512");
    rig.device->parallelFlash()->AddStuckBit(65535, 0, true);  // the last byte cannot become 0x00
    EXPECT_EQ(0, rig.Program(Pattern(40000, 3), 1));
    EXPECT_EQ("Compare Fail!!", rig.panel.status);
    EXPECT_FALSE(rig.PowerCycleAsked());
}

TEST(InternalRomFile, FileOfExactlyTheFlashSizeIsTaken) {
    Rig rig("SST39LF512");
    const Bytes image = Pattern(kInternalRomFlashSize, 11);
    EXPECT_EQ(1, rig.Program(image, 2));
    EXPECT_TRUE(rig.Flash() == image);
}

// A file that cannot be programmed in full is refused before anything is
// erased: the bridge keeps its old firmware.
TEST(InternalRomFile, UnusableFileLeavesTheFlashUntouched) {
    struct Row {
        const char* what;
        std::function<std::string(Rig&)> file;
        const char* status;
    };
    const Row rows[] = {
        {"missing", [](Rig& r) { return r.dir.File("absent.bin"); }, "Open New ROM File Error!!"},
        {"no name", [](Rig&) { return std::string(); }, "Open New ROM File Error!!"},
        {"a directory", [](Rig& r) { return r.dir.File(""); }, "Open New ROM File Error!!"},
        {"65,537 bytes", [](Rig& r) { return r.WriteFile("long.bin", Pattern(kInternalRomFlashSize + 1, 2)); },
         "New ROM File is bigger than 64KB!!"},
        {"empty", [](Rig& r) { return r.WriteFile("empty.bin", {}); }, "New ROM File is empty!!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Rig rig("AT49BV512");
        rig.panel.firmwareFile = row.file(rig);
        EXPECT_EQ(0, rig.Run(0));
        EXPECT_EQ((std::vector<std::string>{row.status}), rig.panel.statusHistory);
        EXPECT_TRUE(rig.Flash() == rig.before);
        EXPECT_EQ(0, rig.Count(kEraseSequenceCdb) + rig.Count(kEraseCdb) + rig.Count(kProgramCdb));
        EXPECT_TRUE(rig.panel.messages.empty());
    }
}

// ---- An erase that does not confirm while programming.

TEST(InternalRomProgram, RefusedEraseStartGoesOnToProgramming) {
    Rig rig("SST39LF512", 2, [](sim::DeviceConfig& c) { c.flash.image.clear(); });  // blank already
    rig.Fail(kEraseCdb);
    const Bytes image = Pattern(kInternalRomFlashSize, 4);
    EXPECT_EQ(1, rig.Program(image, 2));
    EXPECT_FALSE(rig.Saw("Erase command ok!!"));
    EXPECT_EQ(1, rig.Count(kReadCdb));  // no erase check, only the compare
    EXPECT_TRUE(rig.Flash() == image);
    EXPECT_EQ(kProgramDone, rig.panel.status);
}

TEST(InternalRomProgram, RefusedEraseStartOnAnOldFirmwareFailsTheCompare) {
    Rig rig("SST39LF512");
    rig.Fail(kEraseCdb);
    EXPECT_EQ(0, rig.Program(Pattern(kInternalRomFlashSize, 4), 2));
    EXPECT_EQ("Compare Fail!!", rig.panel.status);
    EXPECT_FALSE(rig.PowerCycleAsked());
}

TEST(InternalRomProgram, EraseThatOutlastsTheWaitStillEndsInTheProgram) {
    // The first wait gives up after about 19 s; the erase ends at 25 s,
    // within the wait that comes before the program command.
    Rig rig("SST39LF512", 2, [](sim::DeviceConfig& c) { c.flash.parallel->chipEraseUs = 25'000'000; });
    const Bytes image = Pattern(kInternalRomFlashSize, 4);
    EXPECT_EQ(1, rig.Program(image, 2));
    EXPECT_EQ((std::vector<std::string>{"Erase command ok,status fail!!", "Programming done, compare ...", kProgramDone}),
              rig.panel.statusHistory);
    EXPECT_EQ(1, rig.Count(kReadCdb));  // no erase check, only the compare
    EXPECT_TRUE(rig.Flash() == image);
}

TEST(InternalRomProgram, FailedEraseCheckReadIsPassedOver) {
    Rig rig("Pm39LV512");
    rig.Fail(kReadCdb, 1);
    const Bytes image = Pattern(kInternalRomFlashSize, 6);
    EXPECT_EQ(1, rig.Program(image, 1));
    EXPECT_TRUE(rig.Saw("Erase command ok!!"));
    EXPECT_TRUE(rig.Flash() == image);
}

// ---- Each failure of programming.

TEST(InternalRomProgram, EachFailureHasItsText) {
    struct Row {
        const char* what;
        std::function<void(Rig&)> fault;
        const char* status;
        bool programSent;
    };
    const Row rows[] = {
        {"erase sequence refused", [](Rig& r) { r.Fail(kEraseSequenceCdb); }, "Error pre-erase command!!", false},
        {"a bit that stays 0", [](Rig& r) { r.device->parallelFlash()->AddStuckBit(0x1234, 3, false); },
         "Not Erase correctly!", false},
        {"program refused", [](Rig& r) { r.Fail(kProgramCdb); }, "Programming Fail!!", false},
        {"compare read fails", [](Rig& r) { r.Fail(kReadCdb, 2); }, "Read Fail!!", true},
        {"a bit that stays 1", [](Rig& r) { r.device->parallelFlash()->AddStuckBit(0x2000, 7, true); },
         "Compare Fail!!", true},
        {"data lost on the way", [](Rig& r) {
             sim::FaultRule rule{"", kProgramCdb, 0, sim::FaultKind::ShortTransfer};
             rule.transferLimit = 1000;
             r.host.AddFault(rule);
         },
         "Compare Fail!!", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Rig rig("AT49BV512", 20);
        row.fault(rig);
        Bytes image = Pattern(kInternalRomFlashSize, 8);
        image[0x2000] = 0x00;
        EXPECT_EQ(0, rig.Program(image, 0));
        EXPECT_EQ(row.status, rig.panel.status);
        EXPECT_FALSE(rig.Saw(kProgramDone));
        EXPECT_EQ(row.programSent, rig.Saw("Programming done, compare ..."));
        EXPECT_FALSE(rig.Saw("Programming Success!!")) << "no success before the read-back";
        EXPECT_FALSE(rig.PowerCycleAsked());
    }
}

TEST(InternalRomProgram, NeverReadyFlashIsNotProgrammed) {
    Rig rig("SST39LF512");
    rig.device->parallelFlash()->SetNeverReady(true);
    EXPECT_EQ(0, rig.Program(Pattern(kInternalRomFlashSize, 8), 2));
    EXPECT_EQ("Programming Fail!!", rig.panel.status);
    EXPECT_TRUE(rig.Flash() == rig.before);
    EXPECT_FALSE(rig.PowerCycleAsked());
}

// ---- Erase only: only a blank read-back is a success.

TEST(InternalRomErase, SlowPartTimesOutAfterFiftyThousandPolls) {
    // A part whose chip erase outlasts the wait (50,000 polls of about 0.4 ms).
    Rig rig("SST39LF512", 2, [](sim::DeviceConfig& c) { c.flash.parallel->chipEraseUs = 60'000'000; });
    rig.SetEraseOnly();
    EXPECT_EQ(0, rig.Run(2));
    EXPECT_EQ((std::vector<std::string>{"Start Erase only!", "Erase command ok,status fail!!"}),
              rig.panel.statusHistory);
    EXPECT_EQ(kRomIdleRounds * kRomIdlePollsPerRound, rig.Count(kBusyCdb));
    EXPECT_EQ(50000, rig.Count(kBusyCdb));
    EXPECT_EQ(0, rig.Count(kReadCdb));
    EXPECT_TRUE(rig.panel.messages.empty());
}

TEST(InternalRomErase, EachFailureHasItsTextAndNoPowerCycle) {
    struct Row {
        const char* what;
        std::function<void(Rig&)> fault;
        const char* status;
    };
    const Row rows[] = {
        {"erase sequence refused", [](Rig& r) { r.Fail(kEraseSequenceCdb); }, "Error pre-erase command!!"},
        {"erase start refused", [](Rig& r) { r.Fail(kEraseCdb); }, "Erase command fail!!"},
        {"read-back fails", [](Rig& r) { r.Fail(kReadCdb); }, "Read Back after Erase fail!!"},
        {"a bit that stays 0", [](Rig& r) { r.device->parallelFlash()->AddStuckBit(0xFFFF, 0, false); },
         "Not Erase correctly!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Rig rig("Pm39LV512");
        rig.SetEraseOnly();
        row.fault(rig);
        EXPECT_EQ(0, rig.Run(1));
        EXPECT_EQ(row.status, rig.panel.status);
        EXPECT_FALSE(rig.Saw("Erase All success!!"));
        EXPECT_TRUE(rig.panel.messages.empty());
    }
}

// ---- Backup only.

TEST(InternalRomBackup, AlwaysTheWholeFlashWhateverFirmwareSizeSays) {
    FirmwareSizeGuard guard;
    for (const std::int32_t size : {32768, 262144}) {
        SCOPED_TRACE(size);
        Geometry().FirmwareSize = size;
        Rig rig("AT49BV512");
        rig.panel.backupOnly = true;
        rig.panel.backupFile = rig.dir.File("saved.bin");
        EXPECT_EQ(1, rig.Run(0));
        EXPECT_TRUE(ReadWholeFile(rig.panel.backupFile) == rig.before);
        EXPECT_EQ((std::vector<std::uint32_t>{kInternalRomFlashSize}), rig.Lengths(kReadCdb));
    }
}

TEST(InternalRomBackup, DefaultNameInTheWorkingDirectoryOverwritesAnOldFile) {
    Rig rig("SST39LF512");
    WorkingDirectory cwd(rig.dir.File(""));
    rig.WriteFile(kDefaultBackupFile, Bytes(100000, 0x77));
    rig.panel.backupOnly = true;
    EXPECT_EQ(1, rig.Run(2));
    ASSERT_EQ(1u, rig.panel.messages.size());
    EXPECT_EQ("Message", rig.panel.messages[0].title);
    EXPECT_EQ("Default backup firmware as OldFalsh.bak!", rig.panel.messages[0].text);
    EXPECT_TRUE(ReadWholeFile(rig.dir.File("oldflash.bak")) == rig.before);
}

TEST(InternalRomBackup, ReadAndSaveFailuresHaveTheirTexts) {
    {
        Rig rig("Pm39LV512");
        rig.Fail(kReadCdb);
        rig.panel.backupOnly = true;
        rig.panel.backupFile = rig.dir.File("saved.bin");
        EXPECT_EQ(0, rig.Run(1));
        EXPECT_EQ("Read ROM fail!!", rig.panel.status);
        EXPECT_FALSE(fs::exists(rig.panel.backupFile));
    }
    {
        Rig rig("Pm39LV512");
        rig.panel.backupOnly = true;
        rig.panel.backupFile = rig.dir.File("no-such-dir/saved.bin");
        EXPECT_EQ(0, rig.Run(1));
        EXPECT_EQ("Read ROM Suceess, but save to file fail!!", rig.panel.status);
    }
    if (fs::exists("/dev/full")) {
        // The file opens but the write cannot be completed.
        Rig rig("Pm39LV512");
        rig.panel.backupOnly = true;
        rig.panel.backupFile = "/dev/full";
        EXPECT_EQ(0, rig.Run(1));
        EXPECT_EQ("Read ROM Suceess, but save to file fail!!", rig.panel.status);
    }
}

// ---- The busy wait.

TEST(WaitRomIdle, BridgeThatStopsAnsweringCountsAsBusyUntilTheLimit) {
    Rig rig("SST39LF512");
    rig.Fail(kBusyCdb, 0, sim::FaultKind::Transport);
    EXPECT_EQ(0, WaitRomIdle(rig.device->path()));
    EXPECT_EQ(50000, rig.Count(kBusyCdb));
}

TEST(WaitRomIdle, ReturnsAtTheFirstIdlePoll) {
    Rig rig("SST39LF512");
    rig.Fail(kBusyCdb, 1, sim::FaultKind::Transport);  // the first poll cannot be read
    EXPECT_EQ(1, WaitRomIdle(rig.device->path()));
    EXPECT_EQ(2, rig.Count(kBusyCdb));
}

}  // namespace
}  // namespace v62x
