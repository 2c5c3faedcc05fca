// What the tool knows about each chip kind, as one table: the name the
// window shows, the three-character code identification looks for, how the
// revision is learned, the class that decides the window state and the flash
// reading, the firmware version's format, whether the NVRAM box is offered
// and which procedure family a run chooses. Identification, the chip check,
// the run's dispatch, the window and the command line all read this table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace v62x {

// Chip kinds as identification numbers them (the low byte of an
// identification). The names are the chips' codes; the kinds found by the
// ID word alone carry "Id".
enum ChipKind : std::uint8_t {
    kKindUnknown = 0,
    kKind620 = 1,
    kKind621 = 2,
    kKind622 = 3,
    kKind624 = 4,
    kKind614 = 5,
    kKind641 = 6,
    kKind642 = 7,
    kKind645 = 8,  // the 644 shares it
    kKind645Second = 9,
    kKind646 = 10,
    kKind751 = 11,
    kKind735 = 12,  // the two-bank serial flash
    kKind715 = 13,
    kKind705 = 14,
    kKind624E = 15,
    kKind622Id = 16,
    kKind623Id = 17,
    kKind624Id = 18,
    kKind620Id = 19,
    kKind621Id = 20,
};
inline constexpr std::size_t kChipKindCount = 21;

enum class ChipClass {
    Unsupported,
    BridgeFlash,        // the bridge firmware runs the flash itself
    Serial,             // serial flash reached through the bridge
    SerialGeneration1,  // serial flash with opcodes handed to the bridge
    DiskFirmware,       // firmware on the attached disk
    ManualFlashChoice,  // parallel flash chosen by the operator
};

// Where a kind's class departs from its usual one.
enum class ClassRule : std::uint8_t {
    Fixed,
    SerialOnIeee1394,           // Serial when the bridge sits on IEEE 1394
    SerialGeneration1AfterTwo,  // SerialGeneration1 from revision 3 on
};

// How identification learns the revision once the kind is known.
enum class RevisionSource : std::uint8_t {
    AsFound,           // the chip information record (or none)
    ChipTag,           // the chip tag, which may also refine the kind
    InfoRecordDigit,   // the 12-byte chip information record's last digit, "1" or "2"
    RevisionRegister,  // bridge memory: revision 5 when the register says so
};

// How the chip information record turns into the version text.
enum class VersionFormat : std::uint8_t {
    Short,                 // "1.07" or "1.07.01" by the record's length
    FiveFields,            // "1.07.01.07.00"
    FiveFieldsLastBit,     // as FiveFields; the last field's low bit may read inverted
    FiveFieldsZeroPadded,  // "01.07.01.07.00"
    FourFieldsZeroPadded,  // "01.07.00.00"
};

// The procedure family a run chooses for a kind; the dispatch refines
// some of them with what identification learned.
enum class RunFamily : std::uint8_t {
    None,
    Standard,           // standard flash update, or the full image on an SST serial flash
    NvramKeeping,       // keeps the NVRAM block of the flash
    SerialFlash,        // serial flash with the kept NVRAM
    SettingsInFlash,    // full image on SST, else NVRAM-keeping; the file must fit the flash
    ByFlashMode,        // NVRAM-keeping in bridge-flash mode before revision 5, else serial
    PageFlashOn1394,    // page flash on IEEE 1394, else standard
    InternalRom,        // the parallel flash behind the internal ROM loader
    DiskFirmware,       // firmware in the reserved area of the attached disk
    DiskFirmwareMarked, // the same, when the bridge's status marks a disk firmware
};

// Bridge status bytes from this value on mark a firmware on the attached disk.
inline constexpr std::uint8_t kDiskFirmwareMark = 0xD0;

// A kind without a flash type runs from the attached disk instead.
enum class WithoutFlash : std::uint8_t { Flash, DiskFirmware, TwoBankDiskFirmware };

struct ChipKindRow {
    ChipKind kind;
    const char* name;  // ChipLabelEdit
    const char* code;  // three characters; null for kind 0
    ChipClass cls;
    ClassRule classRule;
    RevisionSource revision;
    VersionFormat version;
    const char* fallbackVersion;  // shown when the chip information cannot be read
    bool nvramBox;                // NVRAMCheck is offered
    RunFamily family;
    WithoutFlash withoutFlash;
    bool flashSizeChoice;  // erase-only and backup-only let the operator give the flash size
};

// One row per kind, in kind order. Lookups by code take the first row that
// matches, so kinds 9, 15 and 16..20 come only from the other rules.
inline constexpr std::array<ChipKindRow, kChipKindCount> kChipKinds = {{
    {kKindUnknown, "Unknown Chip", nullptr, ChipClass::Unsupported, ClassRule::Fixed, RevisionSource::ChipTag,
     VersionFormat::Short, "00.00", false, RunFamily::None, WithoutFlash::Flash, false},
    {kKind620, "VR40620 Series", "620", ChipClass::BridgeFlash, ClassRule::Fixed, RevisionSource::ChipTag,
     VersionFormat::Short, "02.00", false, RunFamily::Standard, WithoutFlash::Flash, false},
    {kKind621, "VR40621 Series", "621", ChipClass::ManualFlashChoice, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "02.00", false, RunFamily::InternalRom, WithoutFlash::Flash, false},
    {kKind622, "VR40622 Series", "622", ChipClass::BridgeFlash, ClassRule::Fixed, RevisionSource::ChipTag,
     VersionFormat::Short, "01.00", false, RunFamily::Standard, WithoutFlash::Flash, false},
    {kKind624, "VR40624 Series", "624", ChipClass::BridgeFlash, ClassRule::Fixed, RevisionSource::ChipTag,
     VersionFormat::Short, "02.00", false, RunFamily::Standard, WithoutFlash::Flash, true},
    {kKind614, "VR40614 Series", "614", ChipClass::DiskFirmware, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "01.00", false, RunFamily::DiskFirmwareMarked, WithoutFlash::Flash, false},
    {kKind641, "VRB641 Series", "641", ChipClass::BridgeFlash, ClassRule::Fixed, RevisionSource::ChipTag,
     VersionFormat::Short, "01.00", true, RunFamily::NvramKeeping, WithoutFlash::Flash, false},
    {kKind642, "VRB642 Series", "642", ChipClass::BridgeFlash, ClassRule::SerialOnIeee1394,
     RevisionSource::InfoRecordDigit, VersionFormat::Short, "01.00", false, RunFamily::PageFlashOn1394,
     WithoutFlash::Flash, false},
    {kKind645, "VRB644/645 Series", "645", ChipClass::Serial, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::FiveFields, "01.00", true, RunFamily::SerialFlash, WithoutFlash::Flash, false},
    {kKind645Second, "VRB644/645 Series", "645", ChipClass::Serial, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::FiveFields, "01.00", true, RunFamily::SerialFlash, WithoutFlash::Flash, false},
    {kKind646, "VRB646 Series", "646", ChipClass::SerialGeneration1, ClassRule::Fixed, RevisionSource::ChipTag,
     VersionFormat::FiveFieldsZeroPadded, "01.00", true, RunFamily::SettingsInFlash, WithoutFlash::Flash, false},
    {kKind751, "VRS751/735 Series", "751", ChipClass::Serial, ClassRule::Fixed, RevisionSource::RevisionRegister,
     VersionFormat::FiveFieldsLastBit, "01.00", true, RunFamily::ByFlashMode, WithoutFlash::Flash, false},
    {kKind735, "VRS735 Series", "735", ChipClass::Serial, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::FourFieldsZeroPadded, "01.00", true, RunFamily::SerialFlash, WithoutFlash::TwoBankDiskFirmware, false},
    {kKind715, "VRB715 Series", "715", ChipClass::BridgeFlash, ClassRule::SerialGeneration1AfterTwo,
     RevisionSource::ChipTag, VersionFormat::Short, "01.00", false, RunFamily::Standard, WithoutFlash::Flash, false},
    {kKind705, "VRB705 Series", "705", ChipClass::DiskFirmware, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "01.00", false, RunFamily::DiskFirmware, WithoutFlash::Flash, false},
    {kKind624E, "VR40624 Series", "624", ChipClass::SerialGeneration1, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "01.00", false, RunFamily::Standard, WithoutFlash::DiskFirmware, false},
    {kKind622Id, "VR40622", "622", ChipClass::Unsupported, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "01.00", false, RunFamily::None, WithoutFlash::Flash, false},
    {kKind623Id, "VR40623", "623", ChipClass::Unsupported, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "01.00", false, RunFamily::None, WithoutFlash::Flash, false},
    {kKind624Id, "VR40624", "624", ChipClass::Unsupported, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "01.00", false, RunFamily::None, WithoutFlash::Flash, false},
    {kKind620Id, "VR40620", "620", ChipClass::Unsupported, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "01.00", false, RunFamily::None, WithoutFlash::Flash, false},
    {kKind621Id, "VR40621", "621", ChipClass::ManualFlashChoice, ClassRule::Fixed, RevisionSource::AsFound,
     VersionFormat::Short, "01.00", false, RunFamily::InternalRom, WithoutFlash::Flash, false},
}};

// The row of a kind; kinds outside the table read as kind 0.
constexpr const ChipKindRow& ChipKindInfo(std::uint8_t kind) {
    return kind < kChipKinds.size() ? kChipKinds[kind] : kChipKinds[0];
}

// The name of a chip kind; kinds outside the table are "Unknown Chip".
std::string ChipKindName(std::uint8_t kind);

// The class that decides the window state of a kind, with its revision and
// bus where the kind's rule asks for them.
ChipClass ClassOfKind(std::uint8_t kind, std::uint8_t revision, bool onIeee1394);

// Kinds whose firmware lives in a flash the flash procedures serve.
constexpr bool IsFlashFamily(RunFamily family) {
    switch (family) {
        case RunFamily::Standard:
        case RunFamily::NvramKeeping:
        case RunFamily::SerialFlash:
        case RunFamily::SettingsInFlash:
        case RunFamily::ByFlashMode:
        case RunFamily::PageFlashOn1394:
            return true;
        default:
            return false;
    }
}

}  // namespace v62x
