#include "IDEAccess/FirmwareFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"
#include "IDEAccess/Transport.h"
#include "IDEAccess/UniqueFd.h"

namespace v62x {
namespace {

using TagBlock = std::array<std::uint8_t, 10>;

constexpr std::uint8_t kSignature[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr std::uint8_t kTagLead[2] = {0x55, 0xAA};
constexpr std::uint8_t kSettingsLead[3] = {0xE9, 0xAC, 0x67};
constexpr std::uint8_t kFirstRevisionTag[4] = {0x5A, 0xA5, 0x0F, 0xF0};
constexpr long kLeadingBlockTag = 0x1000;


// Loads a file for a check; a refused file shows the operator why.
bool LoadForCheck(const std::string& fileName, FirmwareImage& image) {
    const ImageLoad load = LoadFirmwareImage(fileName, image);
    if (load == ImageLoad::Ok) return true;
    NotifyOperator({"Error", ImageLoadText(load, fileName), MessageIcon::Error});
    return false;
}

// The 10 bytes at offset; what lies past the end of the image reads as zero.
TagBlock ReadBlock(const std::uint8_t* bytes, std::size_t length, long offset) {
    TagBlock block{};
    const auto at = static_cast<std::size_t>(offset);
    if (at < length) std::memcpy(block.data(), bytes + at, std::min(block.size(), length - at));
    return block;
}

bool StartsWith(const std::uint8_t* bytes, const void* expected, std::size_t count) {
    return std::memcmp(bytes, expected, count) == 0;
}

bool HasSignature(const TagBlock& block) { return StartsWith(block.data(), kSignature, sizeof kSignature); }

// What a kind's tag must look like once the tag block has been found.
enum class TagRule {
    Never,
    Always,
    CodeWithRevision,  // text followed by the character '0' + r - 1
    CodeOrFirstTag,    // as CodeWithRevision, but revision 1 carries the bytes 5A A5 0F F0
    FirstThree,        // first three characters equal text
    NotFamilyPrefix,   // first two characters differ from text
    RevisionByte,      // byte 8 of the last block read holds r - 1 as a digit
    FileHead,          // file bytes 0..7: signature and a revision-dependent text
    FourCharacters,    // all four characters equal text
};

struct KindRule {
    long blockOffset;            // where the first tag block is read
    const std::uint8_t* lead;    // bytes that block must begin with, or null
    std::size_t leadLength;
    bool leadingBlock;           // the tag may instead sit at 0x1000 behind the NVRAM block
    TagRule rule;
    const char* text;
};

constexpr KindRule kRules[kChipKindCount] = {
    /*  0 */ {0, nullptr, 0, false, TagRule::Never, nullptr},
    /*  1 */ {0, nullptr, 0, false, TagRule::CodeOrFirstTag, "620"},
    /*  2 */ {0, nullptr, 0, false, TagRule::NotFamilyPrefix, "62"},
    /*  3 */ {0, nullptr, 0, false, TagRule::Always, nullptr},
    /*  4 */ {0, nullptr, 0, false, TagRule::CodeWithRevision, "624"},
    /*  5 */ {0, nullptr, 0, false, TagRule::FirstThree, "614"},
    /*  6 */ {0, nullptr, 0, true, TagRule::RevisionByte, nullptr},
    /*  7 */ {0, nullptr, 0, false, TagRule::FileHead, nullptr},
    /*  8 */ {0, nullptr, 0, true, TagRule::FirstThree, "645"},
    /*  9 */ {0, nullptr, 0, true, TagRule::FirstThree, "645"},
    /* 10 */ {0x80, kSettingsLead, sizeof kSettingsLead, false, TagRule::FirstThree, "646"},
    /* 11 */ {0, nullptr, 0, true, TagRule::FirstThree, "751"},
    /* 12 */ {0xBFF0, kTagLead, sizeof kTagLead, true, TagRule::FirstThree, "735"},
    /* 13 */ {0x4000, kTagLead, sizeof kTagLead, false, TagRule::FirstThree, "715"},
    /* 14 */ {0, nullptr, 0, false, TagRule::Never, nullptr},
    /* 15 */ {0x4000, kTagLead, sizeof kTagLead, false, TagRule::FourCharacters, "624E"},
    /* 16 */ {0, nullptr, 0, false, TagRule::Always, nullptr},
    /* 17 */ {0, nullptr, 0, false, TagRule::Always, nullptr},
    /* 18 */ {0, nullptr, 0, false, TagRule::Always, nullptr},
    /* 19 */ {0, nullptr, 0, false, TagRule::Always, nullptr},
    /* 20 */ {0, nullptr, 0, false, TagRule::NotFamilyPrefix, "62"},
};

// The revision character of the "620x"/"624x" tags, wrapped to a byte the
// way a character conversion does it (revision 0 gives '/').
std::uint8_t RevisionCharacter(std::uint8_t revision) {
    return static_cast<std::uint8_t>('0' + revision - 1);
}

bool TagAccepted(const KindRule& rule, const TagBlock& block, const std::uint8_t* tag, std::uint8_t revision) {
    switch (rule.rule) {
        case TagRule::Never:
            return false;
        case TagRule::Always:
            return true;
        case TagRule::CodeOrFirstTag:
            if (revision == 1) return StartsWith(tag, kFirstRevisionTag, sizeof kFirstRevisionTag);
            [[fallthrough]];
        case TagRule::CodeWithRevision:
            return StartsWith(tag, rule.text, 3) && tag[3] == RevisionCharacter(revision);
        case TagRule::FirstThree:
            return StartsWith(tag, rule.text, 3);
        case TagRule::NotFamilyPrefix:
            return !StartsWith(tag, rule.text, 2);
        case TagRule::RevisionByte: {
            // A zero byte stands for revision 1; otherwise a digit '0' + r - 1,
            // both sides taken as bytes.
            const std::uint8_t stored = block[8];
            if (stored == 0) return revision == 1;
            return static_cast<std::uint8_t>(stored - 0x30) == static_cast<std::uint8_t>(revision - 1);
        }
        case TagRule::FileHead: {
            // Kind 7 never looks behind a leading block, so the block is the
            // first ten bytes of the file.
            if (!HasSignature(block)) return false;
            if (revision == 1) return StartsWith(tag, "v642", 4);
            if (revision == 2) return StartsWith(tag, "6421", 4);
            return false;
        }
        case TagRule::FourCharacters:
            return StartsWith(tag, rule.text, 4);
    }
    return false;
}

}  // namespace

ImageLoad LoadFirmwareImage(const std::string& fileName, FirmwareImage& out) {
    out = FirmwareImage{};
    out.name = fileName;
    // O_NONBLOCK: opening a pipe without a writer must not wait for one.
    UniqueFd fd(::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        return errno == EISDIR ? ImageLoad::NotRegular : ImageLoad::CannotOpen;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return ImageLoad::CannotOpen;
    if (!S_ISREG(info.st_mode)) return ImageLoad::NotRegular;
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > kLargestFirmwareFile) {
        return ImageLoad::TooLarge;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return ImageLoad::ReadFailed;
        done += static_cast<std::size_t>(n);
    }
    // A file that grew while it was read is not the file that was measured.
    std::uint8_t extra = 0;
    if (::read(fd.get(), &extra, 1) != 0) return ImageLoad::ReadFailed;
    out.bytes = std::move(bytes);
    out.loaded = true;
    return ImageLoad::Ok;
}

std::string ImageLoadText(ImageLoad load, const std::string& fileName) {
    switch (load) {
        case ImageLoad::Ok:
            return "";
        case ImageLoad::CannotOpen:
            return "Open Firmware File Error!!";
        case ImageLoad::NotRegular:
            return "Not a firmware file: " + fileName + " is a folder, a device or a pipe, not a regular file";
        case ImageLoad::TooLarge:
            return "Not a firmware file: " + fileName + " is larger than any bridge's firmware (64 MiB)";
        case ImageLoad::ReadFailed:
            return "Read Firmware File Error: " + fileName + " could not be read whole";
    }
    return "";
}

int FileMatchesChip(const std::string& fileName, std::uint16_t chip) {
    FirmwareImage image;
    if (!LoadForCheck(fileName, image)) return 0;
    return ImageMatchesChip(image.bytes.data(), image.bytes.size(), chip);
}

int ImageMatchesChip(const std::uint8_t* bytes, std::size_t length, std::uint16_t chip) {
    if (bytes == nullptr) length = 0;

    const std::uint8_t kind = ChipKindOf(chip);
    const std::uint8_t revision = ChipRevisionOf(chip);
    if (kind >= kChipKindCount) return 0;
    const KindRule& rule = kRules[kind];

    TagBlock block = ReadBlock(bytes, length, rule.blockOffset);
    if (rule.lead != nullptr && !StartsWith(block.data(), rule.lead, rule.leadLength)) return 0;
    std::array<std::uint8_t, 4> tag{};
    std::memcpy(tag.data(), &block[4], tag.size());

    if (rule.leadingBlock) {
        const char* code = ChipKindInfo(kind).code;
        if (HasSignature(block)) {
            if (!StartsWith(tag.data(), code, 3)) return 0;
        } else {
            // The block read here stays the one the revision byte comes from,
            // even when it carries no signature and the first tag stands.
            block = ReadBlock(bytes, length, kLeadingBlockTag);
            if (HasSignature(block)) {
                std::memcpy(tag.data(), &block[4], tag.size());
                if (!StartsWith(tag.data(), code, 3)) return 0;
            }
        }
    }
    return TagAccepted(rule, block, tag.data(), revision) ? 1 : 0;
}

int FileFitsFlash(const std::string& fileName, std::uint32_t flashSizeKB) {
    FirmwareImage image;
    if (!LoadForCheck(fileName, image)) return 0;
    return ImageFitsFlash(image.bytes.size(), flashSizeKB);
}

int ImageFitsFlash(std::size_t length, std::uint32_t flashSizeKB) {
    // Widened so that sizes of 4 GiB and more do not wrap to a small limit.
    const std::uint64_t limit = static_cast<std::uint64_t>(flashSizeKB) * 1024;
    return limit >= static_cast<std::uint64_t>(length) ? 1 : 0;
}

}  // namespace v62x
