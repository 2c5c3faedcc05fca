// The chip match of a firmware image's tag block, per chip kind, and the
// size check against the flash.
#include "IDEAccess/FirmwareFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "IDEAccess/Notifier.h"
#include "support/ScratchDir.h"

namespace v62x {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Scratch directories of these tests carry their own prefix.
struct ScratchDir : test::ScratchDir {
    ScratchDir() : test::ScratchDir("v62x-fwfile") {}
};

// Records what would have been shown to the operator while it lives.
class RecordingNotifier {
public:
    RecordingNotifier() {
        SetMessageNotifier([this](const OperatorMessage& m) { shown.push_back(m); });
    }
    ~RecordingNotifier() { SetMessageNotifier({}); }
    RecordingNotifier(const RecordingNotifier&) = delete;
    RecordingNotifier& operator=(const RecordingNotifier&) = delete;
    std::vector<OperatorMessage> shown;
};

std::uint16_t Chip(std::uint8_t kind, std::uint8_t revision) {
    return static_cast<std::uint16_t>(revision << 8 | kind);
}

// An image of `size` zero bytes with tag blocks laid in.
struct Image {
    Bytes bytes;
    explicit Image(std::size_t size = 0x10000) : bytes(size, 0) {}
    // A tag block: four lead bytes, four tag characters, the revision byte.
    Image& Block(std::size_t at, const Bytes& lead, const char* tag, std::uint8_t revisionByte = 0) {
        if (!lead.empty()) std::memcpy(&bytes.at(at), lead.data(), lead.size());
        if (tag != nullptr) std::memcpy(&bytes.at(at + 4), tag, std::strlen(tag));
        bytes.at(at + 8) = revisionByte;
        return *this;
    }
    Image& Tagged(std::size_t at, const char* tag, std::uint8_t revisionByte = 0) {
        return Block(at, {0x55, 0xAA, 0xAA, 0x55}, tag, revisionByte);
    }
    Image& Raw(std::size_t at, const Bytes& raw) {
        std::memcpy(&bytes.at(at), raw.data(), raw.size());
        return *this;
    }
};

const Bytes kSig = {0x55, 0xAA, 0xAA, 0x55};
const Bytes kHalfSig = {0x55, 0xAA, 0x00, 0x00};
const Bytes kSettings = {0xE9, 0xAC, 0x67, 0x32};

struct MatchCase {
    const char* what;
    std::uint8_t kind;
    std::uint8_t revision;
    Image image;
    bool accepted;
};

TEST(FileMatchesChip, PerKindRules) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const Bytes firstRevisionTag = {0x55, 0xAA, 0xAA, 0x55, 0x5A, 0xA5, 0x0F, 0xF0};
    const std::vector<MatchCase> cases = {
        {"0: never, even with a tag", 0, 1, Image().Tagged(0, "6200"), false},
        {"1 r3: 620 and the revision character", 1, 3, Image().Tagged(0, "6202"), true},
        {"1 r3: wrong revision character", 1, 3, Image().Tagged(0, "6201"), false},
        {"1 r2: another code", 1, 2, Image().Tagged(0, "6241"), false},
        {"1 r1: the fixed bytes 5A A5 0F F0", 1, 1, Image().Raw(0, firstRevisionTag), true},
        {"1 r1: the text 6200 is not enough", 1, 1, Image().Tagged(0, "6200"), false},
        {"2: a tag of another family", 2, 1, Image().Tagged(0, "6451"), true},
        {"2: tags starting 62 are refused", 2, 1, Image().Tagged(0, "6211"), false},
        {"2: 6 alone is not 62", 2, 1, Image().Tagged(0, "6311"), true},
        {"20: same rule as kind 2", 20, 1, Image().Tagged(0, "6211"), false},
        {"20: a blank file has no 62", 20, 1, Image(), true},
        {"3: always", 3, 1, Image(), true},
        {"16: always", 16, 2, Image().Tagged(0, "7351"), true},
        {"19: always", 19, 1, Image(16), true},
        {"4 r2: 6241", 4, 2, Image().Tagged(0, "6241"), true},
        {"4 r2: 6242 is revision 3", 4, 2, Image().Tagged(0, "6242"), false},
        {"4 r1: 620 tag", 4, 1, Image().Tagged(0, "6200"), false},
        {"5: 614, revision character not compared", 5, 1, Image().Tagged(0, "6149"), true},
        {"5: 615", 5, 1, Image().Tagged(0, "6150"), false},
        {"6 r1: revision byte '0'", 6, 1, Image().Tagged(0, "6410", '0'), true},
        {"6 r1: revision byte zero", 6, 1, Image().Tagged(0, "6410", 0), true},
        {"6 r2: revision byte '1'", 6, 2, Image().Tagged(0, "6410", '1'), true},
        {"6 r1: revision byte '1'", 6, 1, Image().Tagged(0, "6410", '1'), false},
        {"6 r2: revision byte zero only stands for r1", 6, 2, Image().Tagged(0, "6410", 0), false},
        {"6: signed block of another chip", 6, 1, Image().Tagged(0, "6420", '0'), false},
        {"6 r3: tag behind the leading block", 6, 3, Image().Tagged(0x1000, "6410", '2'), true},
        {"6 r1: revision byte comes from 0x1000", 6, 1, Image().Tagged(0x1000, "6410", '2'), false},
        {"6: leading block of another chip", 6, 1, Image().Tagged(0x1000, "6450", '0'), false},
        {"6 r2: unsigned bytes at 0 are not the block last read", 6, 2,
         Image().Block(0, {}, "6410", '1'), false},
        {"6 r2: unsigned block at 0x1000 gives the revision byte", 6, 2,
         Image().Block(0x1000, {}, "6410", '1'), true},
        {"7 r1: 55 AA AA 55 v642", 7, 1, Image().Tagged(0, "v642"), true},
        {"7 r2: 55 AA AA 55 6421", 7, 2, Image().Tagged(0, "6421"), true},
        {"7 r1: the revision-2 text", 7, 1, Image().Tagged(0, "6421"), false},
        {"7 r3: no revision 3 image", 7, 3, Image().Tagged(0, "v642"), false},
        {"7 r1: text without signature", 7, 1, Image().Block(0, {}, "v642"), false},
        {"8: 645, revision character not compared", 8, 3, Image().Tagged(0, "6459"), true},
        {"8: 644 tag", 8, 1, Image().Tagged(0, "6441"), false},
        {"9: tag behind the leading block", 9, 1, Image().Tagged(0x1000, "6451"), true},
        {"9: leading block of another chip", 9, 1, Image().Tagged(0x1000, "6461"), false},
        {"9: a signed block at 0 decides", 9, 1, Image().Tagged(0, "6441").Tagged(0x1000, "6451"), false},
        {"8: no signature anywhere, the tag at 0 stands", 8, 1, Image().Block(0, {}, "6451"), true},
        {"10: E9 AC 67 block at 0x80", 10, 1, Image().Block(0x80, kSettings, "6461"), true},
        {"10: fourth lead byte not compared", 10, 1, Image().Block(0x80, {0xE9, 0xAC, 0x67, 0x00}, "6461"), true},
        {"10: wrong lead", 10, 1, Image().Block(0x80, {0xE9, 0xAC, 0x66, 0x32}, "6461"), false},
        {"10: another chip at 0x80", 10, 1, Image().Block(0x80, kSettings, "6451"), false},
        {"10: a signed tag at 0 does not count", 10, 1, Image().Tagged(0, "6461"), false},
        {"11: 751", 11, 1, Image().Tagged(0, "7512"), true},
        {"11: 735", 11, 1, Image().Tagged(0, "7352"), false},
        {"11: tag behind the leading block", 11, 1, Image().Tagged(0x1000, "7512"), true},
        {"12: trailer at 0xBFF0", 12, 1, Image().Tagged(0xBFF0, "7351"), true},
        {"12: trailer of another chip", 12, 1, Image().Tagged(0xBFF0, "7511"), false},
        {"12: no 55 AA at 0xBFF0", 12, 1, Image().Tagged(0, "7351").Tagged(0x1000, "7351"), false},
        {"12: 55 AA only, the trailer's tag stands", 12, 1, Image().Block(0xBFF0, kHalfSig, "7351"), true},
        {"12: 55 AA only, a signed block at 0x1000 decides", 12, 1,
         Image().Block(0xBFF0, kHalfSig, "7351").Tagged(0x1000, "7511"), false},
        {"12: 55 AA only, the block at 0x1000 supplies the tag", 12, 1,
         Image().Block(0xBFF0, kHalfSig, "0000").Tagged(0x1000, "7351"), true},
        {"12: file ends before the trailer", 12, 1, Image(0xBFF0).Tagged(0x1000, "7351"), false},
        {"12: file ends inside the trailer's tag", 12, 1, Image(0xBFF6).Raw(0xBFF0, {0x55, 0xAA, 0xAA, 0x55, '7', '3'}),
         false},
        {"13: 55 AA and 715 at 0x4000", 13, 1, Image().Block(0x4000, kHalfSig, "7151"), true},
        {"13: tag at 0 only", 13, 1, Image().Tagged(0, "7151"), false},
        {"13: 716", 13, 1, Image().Tagged(0x4000, "7161"), false},
        {"14: never", 14, 1, Image().Tagged(0, "7051"), false},
        {"15: 624E at 0x4000", 15, 3, Image().Tagged(0x4000, "624E"), true},
        {"15: 624F", 15, 3, Image().Tagged(0x4000, "624F"), false},
        {"15: 6243", 15, 3, Image().Tagged(0x4000, "6243"), false},
        {"21: not a kind", 21, 1, Image(), false},
        {"255: not a kind", 255, 1, Image(), false},
    };
    RecordingNotifier notifier;
    int n = 0;
    for (const MatchCase& c : cases) {
        const std::string file = dir.Write("image" + std::to_string(n++) + ".bin", c.image.bytes);
        EXPECT_EQ(c.accepted ? 1 : 0, FileMatchesChip(file, Chip(c.kind, c.revision))) << c.what;
    }
    EXPECT_TRUE(notifier.shown.empty());
}

TEST(FileMatchesChip, ShortFilesReadMissingBytesAsZero) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    struct ShortCase {
        const char* what;
        Bytes bytes;
        std::uint16_t chip;
        int expected;
    };
    const std::vector<ShortCase> cases = {
        {"a tag cut after three characters still holds them", {0x55, 0xAA, 0xAA, 0x55, '6', '1', '4'}, Chip(5, 1), 1},
        {"the missing revision character is zero", {0x55, 0xAA, 0xAA, 0x55, '6', '2', '4'}, Chip(4, 1), 0},
        // Kind 6 reads on at 0x1000, past the end: byte 8 of that read is
        // zero, not the '1' left from the read at 0.
        {"nothing at 0x1000 reads as revision byte zero", {0, 0, 0, 0, '6', '4', '1', '0', '1', 0}, Chip(6, 1), 1},
        {"no leftover revision byte from the read at 0", {0, 0, 0, 0, '6', '4', '1', '0', '1', 0}, Chip(6, 2), 0},
        {"an empty file is revision 1 for kind 6", {}, Chip(6, 1), 1},
        {"an empty file has no 62 for kind 2", {}, Chip(2, 1), 1},
        {"an empty file has no 645 for kind 8", {}, Chip(8, 1), 0},
    };
    RecordingNotifier notifier;
    for (const ShortCase& c : cases) {
        const std::string file = dir.Write("short.bin", c.bytes);
        EXPECT_EQ(c.expected, FileMatchesChip(file, c.chip)) << c.what;
    }
    EXPECT_TRUE(notifier.shown.empty());
}

struct OpenCase {
    const char* what;
    std::function<int(const std::string&)> check;
};

TEST(FirmwareFile, UnopenableFileShowsTheOpenError) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    const std::vector<OpenCase> checks = {
        {"chip match", [](const std::string& f) { return FileMatchesChip(f, Chip(3, 1)); }},
        {"chip match of kind 0", [](const std::string& f) { return FileMatchesChip(f, Chip(0, 0)); }},
        {"size check", [](const std::string& f) { return FileFitsFlash(f, 1024); }},
    };
    // A pipe would block a plain read for ever; a folder is no file. Each
    // is refused at once with a text of its own.
    const std::string fifo = dir.File("pipe.bin");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    const std::vector<std::pair<std::string, std::string>> paths = {
        {dir.File("missing.bin"), "Open Firmware File Error!!"},
        {dir.File(""), "Not a firmware file: " + dir.File("") + " is a folder, a device or a pipe, not a regular file"},
        {fifo, "Not a firmware file: " + fifo + " is a folder, a device or a pipe, not a regular file"},
        {"/dev/zero", "Not a firmware file: /dev/zero is a folder, a device or a pipe, not a regular file"},
    };
    for (const OpenCase& c : checks) {
        for (const auto& [path, text] : paths) {
            RecordingNotifier notifier;
            EXPECT_EQ(0, c.check(path)) << c.what << " " << path;
            ASSERT_EQ(1u, notifier.shown.size()) << c.what << " " << path;
            EXPECT_EQ(text, notifier.shown[0].text);
            EXPECT_EQ("Error", notifier.shown[0].title);
            EXPECT_EQ(MessageIcon::Error, notifier.shown[0].icon);
        }
    }
}

TEST(FirmwareFile, FitsFlashUpToItsSize) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    struct FitCase {
        const char* what;
        std::size_t length;
        std::uint32_t flashKB;
        int expected;
    };
    const std::vector<FitCase> cases = {
        {"exactly the flash size", 32768, 32, 1},
        {"one byte below", 32767, 32, 1},
        {"one byte above", 32769, 32, 0},
        {"smaller flash", 32768, 31, 0},
        {"larger flash", 32768, 64, 1},
        {"empty file, no flash", 0, 0, 1},
        {"one byte, no flash", 1, 0, 0},
        {"4 GiB of flash does not wrap to nothing", 1, 0x400000, 1},
    };
    RecordingNotifier notifier;
    for (const FitCase& c : cases) {
        const std::string file = dir.Write("fit.bin", Bytes(c.length, 0xA5));
        EXPECT_EQ(c.expected, FileFitsFlash(file, c.flashKB)) << c.what;
    }
    EXPECT_TRUE(notifier.shown.empty());
}

}  // namespace
}  // namespace v62x
