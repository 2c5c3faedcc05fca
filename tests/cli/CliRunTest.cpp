// `v62xfw run` against simulated bridges: the exit status of every outcome,
// the status lines and messages on standard output, and what reaches the
// flash and the backup file (nothing at all when the run is refused).
#include "cli/Cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "Fwupdate/ToolState.h"
#include "VirtualBridge/SimulatedHost.h"
#include "VirtualBridge/SimulationDescription.h"
#include "support/ScratchDir.h"

namespace v62x {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kNvram = 4096;
constexpr std::size_t kImageSize = 65536;

// Bytes that are neither 0x00 nor 0xFF, so that neither an erase nor a
// zero-filled write can pass for them.
Bytes Pattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>((i * 11 + (i >> 9) * 5) % 251 + 3);
    return bytes;
}

// A kind-8 image: signature 55 AA AA 55 and the tag "6450" at offset 0.
Bytes Kind8Image() {
    Bytes image = Pattern(kImageSize);
    const Bytes head = {0x55, 0xAA, 0xAA, 0x55, '6', '4', '5', '0'};
    std::copy(head.begin(), head.end(), image.begin());
    return image;
}

// A kind-10 image of `length` bytes: E9 AC 67 at 0x80 and the tag "646" at 0x84.
Bytes Kind10Image(std::size_t length) {
    Bytes image = Pattern(length);
    const Bytes block = {0xE9, 0xAC, 0x67, 0x00, '6', '4', '6', '0'};
    std::copy(block.begin(), block.end(), image.begin() + 0x80);
    return image;
}

Bytes ReadWholeFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Range(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count));
}

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

// A simulated host with the devices of a description and a scratch folder.
// In the arguments "@fw" stands for the firmware file, "@backup" for the
// backup file; both lie in the scratch folder.
struct RunBench {
    sim::SimulatedHost host;
    test::ScratchDir dir{"v62x-clirun"};
    std::string firmware = dir.File("fw.bin");
    std::string backup = dir.File("backup.bin");

    explicit RunBench(const std::string& description) {
        std::vector<sim::DeviceConfig> configs;
        std::string error;
        EXPECT_TRUE(sim::ParseSimulationDescription(description, configs, error)) << error;
        for (const auto& config : configs) host.AddDevice(config);
    }

    // The flash of a device; empty on one without flash.
    Bytes Flash(std::size_t device = 0) {
        const Bytes* flash = host.Devices().at(device)->FlashContents();
        return flash != nullptr ? *flash : Bytes{};
    }

    CliRun Run(std::vector<std::string> args) {
        for (std::string& arg : args) {
            if (arg == "@fw") arg = firmware;
            if (arg == "@backup") arg = backup;
        }
        std::ostringstream out, err;
        const int status = RunCli(args, out, err, &host);
        // A run that reached the device ends with its summary line, which
        // the cases' patterns leave out.
        std::string text = out.str();
        static const std::regex kSummary("summary: [0-9]+ commands, [0-9]+ bytes, [0-9.]+ s elapsed, [0-9.]+ s virtual\n$");
        std::smatch summary;
        if (std::regex_search(text, summary, kSummary)) text.erase(static_cast<std::size_t>(summary.position(0)));
        return {status, text, err.str()};
    }
};

bool Matches(const std::string& text, const char* pattern) {
    return std::regex_search(text, std::regex(pattern));
}

enum class FileGiven { None, Kind8, Mismatching, Missing, Kind10TooBig };

// What the first bridge's flash holds after the run, against the kind-8
// image and the flash before.
enum class FlashAfter {
    Unchanged,
    ImageKeepingNvram,   // the image, with the bridge's own first 4 KiB
    WholeImage,          // the image, first 4 KiB included
    ErasedKeepingNvram,  // the bridge's first 4 KiB, 0xFF up to the firmware size
    NotChecked,
};

struct RunCase {
    const char* name;
    const char* description;
    std::vector<std::string> args;
    FileGiven file;
    int status;
    const char* out;  // pattern stdout must contain; empty: not checked
    const char* err;  // pattern stderr must contain; empty: not checked
    FlashAfter flash;
    long backupFrom;         // the backup file holds the flash from here (-1: not the flash) ...
    std::size_t backupSize;  // ... this many bytes; 0: no backup file is written
    bool failWrites;         // every write of data to the bridge fails
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class CliRunOutcome : public ::testing::TestWithParam<RunCase> {};

TEST_P(CliRunOutcome, ExitStatusOutputFlashAndBackup) {
    const RunCase& c = GetParam();
    RunBench bench(c.description);
    ASSERT_TRUE(bench.dir.ok());
    switch (c.file) {
        case FileGiven::None:
        case FileGiven::Missing:
            break;
        case FileGiven::Kind8:
            bench.dir.Write("fw.bin", Kind8Image());
            break;
        case FileGiven::Mismatching:
            bench.dir.Write("fw.bin", Bytes(kImageSize, 0x00));
            break;
        case FileGiven::Kind10TooBig:
            bench.dir.Write("fw.bin", Kind10Image(600 * 1024));
            break;
    }
    if (c.failWrites) {
        sim::FaultRule rule;
        rule.prefix = {0xDF};
        rule.dataPhase = DataDirection::Out;
        bench.host.AddFault(rule);
    }
    const Bytes before = bench.Flash();

    const CliRun run = bench.Run(c.args);
    EXPECT_EQ(c.status, run.status) << "stdout:\n" << run.out << "stderr:\n" << run.err;
    if (*c.out != '\0') {
        EXPECT_TRUE(Matches(run.out, c.out)) << "stdout:\n" << run.out;
    }
    if (*c.err != '\0') {
        EXPECT_TRUE(Matches(run.err, c.err)) << "stderr:\n" << run.err;
    }
    EXPECT_TRUE(run.out.empty() || run.out.back() == '\n') << "the last line is ended";

    const Bytes after = bench.Flash();
    const Bytes image = Kind8Image();
    switch (c.flash) {
        case FlashAfter::Unchanged:
            EXPECT_TRUE(before == after) << "nothing may be written";
            break;
        case FlashAfter::ImageKeepingNvram:
            EXPECT_EQ(Range(before, 0, kNvram), Range(after, 0, kNvram));
            EXPECT_EQ(Range(image, kNvram, kImageSize - kNvram), Range(after, kNvram, kImageSize - kNvram));
            break;
        case FlashAfter::WholeImage:
            EXPECT_EQ(image, Range(after, 0, kImageSize));
            break;
        case FlashAfter::ErasedKeepingNvram:
            EXPECT_EQ(Range(before, 0, kNvram), Range(after, 0, kNvram));
            EXPECT_EQ(Bytes(kImageSize - kNvram, 0xFF), Range(after, kNvram, kImageSize - kNvram));
            break;
        case FlashAfter::NotChecked:
            break;
    }
    if (c.backupSize > 0 && c.backupFrom >= 0) {
        EXPECT_EQ(Range(before, static_cast<std::size_t>(c.backupFrom), c.backupSize), ReadWholeFile(bench.backup));
    } else if (c.backupSize > 0) {
        EXPECT_EQ(c.backupSize, ReadWholeFile(bench.backup).size());
    } else {
        EXPECT_FALSE(std::ifstream(bench.backup).good()) << "no backup file";
    }
}

constexpr const char* kPowerCycle = "Message: Please Turn-Off the Power and Turn-On Again!\n$";

INSTANTIATE_TEST_SUITE_P(
    CliRun, CliRunOutcome,
    ::testing::Values(
        // Runs that succeed. The serial-flash procedure shows its progress
        // as dots on the line of its status text.
        RunCase{"ProgramsKeepingNvram", "bridge:kind=8", {"run", "--yes", "--file", "@fw"}, FileGiven::Kind8, 0,
                "(^|\n)Programming\\.+\n(.*\n)*Programming Success!!\nMessage: Please Turn-Off the Power and "
                "Turn-On Again!\n$",
                "^$", FlashAfter::ImageKeepingNvram},
        RunCase{"ProgramsWithNvram", "bridge:kind=8", {"run", "--yes", "0", "--file", "@fw", "--include-nvram"},
                FileGiven::Kind8, 0, kPowerCycle, "^$", FlashAfter::WholeImage},
        RunCase{"BacksUpWithoutNvram", "bridge:kind=8", {"run", "--backup-only", "--backup-file", "@backup"},
                FileGiven::None, 0, "\nRead flash and backup success!\n$", "^$", FlashAfter::Unchanged, kNvram,
                kImageSize - kNvram},
        RunCase{"BacksUpTheChosenSizeWithNvram", "bridge:kind=8",
                {"run", "--backup-only", "--backup-file", "@backup", "--include-nvram", "--firmware-size", "128"},
                FileGiven::None, 0, "Read flash and backup success!\n$", "", FlashAfter::Unchanged, 0, 131072},
        // 1 MiB moves in pieces the USB storage driver passes (120 KiB by
        // default on the simulated bridges, as on a USB 2.0 bridge).
        RunCase{"BacksUpAMebibyteInPieces", "bridge:kind=8",
                {"run", "--backup-only", "--backup-file", "@backup", "--include-nvram", "--firmware-size", "1024"},
                FileGiven::None, 0, "Read flash and backup success!\n$", "^$", FlashAfter::Unchanged, 0, 1048576},
        RunCase{"ErasesAMebibyteAndChecksItInPieces", "bridge:kind=8,maxtransfer=120KiB",
                {"run", "--yes", "--erase-only", "--firmware-size", "1024"}, FileGiven::None, 0,
                "Erase flash all success!\nMessage: Please Turn-Off", "^$", FlashAfter::ErasedKeepingNvram},
        RunCase{"BacksUpBothBanksOfATwoBankChip", "bridge:kind=12",
                {"run", "--backup-only", "--backup-file", "@backup", "--include-nvram", "--firmware-size", "128"},
                FileGiven::None, 0, "Read flash and backup success!\n$", "^$", FlashAfter::Unchanged, 0, 131072},
        // Kind 12 keeps its code in the first 48 KiB; "--hdd-fw" takes it
        // from the attached disk instead of the flash.
        RunCase{"BacksUpTheCodeFromTheFlash", "bridge:kind=12", {"run", "--backup-only", "--backup-file", "@backup"},
                FileGiven::None, 0, "\nBackup \\.\\.\\.\nReadFlash\\.+\nRead flash and backup success!\n$", "^$",
                FlashAfter::Unchanged, 0, 0xC000},
        RunCase{"BacksUpTheCodeFromTheDisk", "bridge:kind=12",
                {"run", "--backup-only", "--backup-file", "@backup", "--hdd-fw"}, FileGiven::None, 0,
                "\nBackup \\.\\.\\.\nRead flash and backup success!\n$", "^$", FlashAfter::Unchanged, -1, 0xC000},
        RunCase{"ErasesKeepingNvram", "bridge:kind=8", {"run", "--yes", "--erase-only"}, FileGiven::None, 0,
                "^Start Erase only!\n(.*\n)*Erase flash all success!\nMessage: Please Turn-Off the Power and "
                "Turn-On Again!\n$",
                "^$", FlashAfter::ErasedKeepingNvram},
        // Runs that fail.
        RunCase{"FailedWrites", "bridge:kind=8", {"run", "--yes", "--file", "@fw"}, FileGiven::Kind8, 1,
                "Write Bin File fail!\n$", "v62xfw: serial-flash update failed\n", FlashAfter::NotChecked, 0, 0,
                true},
        RunCase{"FileBiggerThanTheFlash", "bridge:kind=10", {"run", "--yes", "--file", "@fw"}, FileGiven::Kind10TooBig, 1,
                "^Message: The firmware file size is bigger than the flash size!\n$", "", FlashAfter::Unchanged},
        RunCase{"NoProcedureServesTheChip", "bridge:kind=5,hddfw=0", {"run", "--yes", "--erase-only"}, FileGiven::None, 1,
                "^$", "v62xfw: no procedure serves this chip", FlashAfter::NotChecked},
        RunCase{"UnlistedDevice", "bridge:kind=8", {"run", "--yes", "/dev/sdz", "--erase-only"}, FileGiven::None, 3, "^$",
                "^v62xfw: no listed device /dev/sdz\n$", FlashAfter::Unchanged},
        // Files the chip check refuses: nothing is written.
        RunCase{"MismatchingFile", "bridge:kind=8", {"run", "--yes", "--file", "@fw"}, FileGiven::Mismatching, 4, "^$",
                "^Message: The firmware file seems not match this chip!\nv62xfw: refused firmware file .*fw.bin",
                FlashAfter::Unchanged},
        RunCase{"MissingFile", "bridge:kind=8", {"run", "--yes", "--file", "@fw"}, FileGiven::Missing, 4, "^$",
                "^Error: Open Firmware File Error!!\nv62xfw: refused",
                FlashAfter::Unchanged},
        // Usage errors: nothing is written.
        RunCase{"WriteWithoutYesAndTerminal", "bridge:kind=8", {"run", "--erase-only"}, FileGiven::None, 2, "^$",
                "give --yes", FlashAfter::Unchanged},
        RunCase{"NothingToDo", "bridge:kind=8", {"run", "--yes"}, FileGiven::None, 2, "^$", "nothing to do",
                FlashAfter::Unchanged},
        RunCase{"EraseAndBackup", "bridge:kind=8", {"run", "--erase-only", "--backup-only"}, FileGiven::None, 2,
                "^$", "excludes", FlashAfter::Unchanged},
        RunCase{"EraseWithAFile", "bridge:kind=8", {"run", "--yes", "--erase-only", "--file", "@fw"}, FileGiven::Kind8, 2,
                "^$", "excludes", FlashAfter::Unchanged},
        RunCase{"FirmwareSizeNotOnTheList", "bridge:kind=8", {"run", "--yes", "--erase-only", "--firmware-size", "100"},
                FileGiven::None, 2, "^$", "--firmware-size", FlashAfter::Unchanged},
        RunCase{"FlashTypeOutOfRange", "bridge:kind=2", {"run", "--backup-only", "--flash-type", "3"},
                FileGiven::None, 2, "^$", "--flash-type", FlashAfter::Unchanged}),
    [](const ::testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

TEST(CliRun, WorksOnTheNamedDeviceOnly) {
    RunBench bench("bridge:kind=8;bridge:kind=8");
    bench.dir.Write("fw.bin", Kind8Image());
    const Bytes first = bench.Flash(0);
    const std::string second = bench.host.Devices().at(1)->path();
    const CliRun run = bench.Run({"run", second, "--yes", "--file", "@fw", "--include-nvram"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ(first, bench.Flash(0));
    EXPECT_EQ(Kind8Image(), Range(bench.Flash(1), 0, kImageSize));
}

}  // namespace
}  // namespace v62x
