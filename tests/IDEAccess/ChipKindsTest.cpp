// The chip-kind table checks its own invariants, the way a flash-chip
// database does: a wrong row here would send a bridge to the wrong procedure.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "IDEAccess/ChipKinds.h"

namespace v62x {
namespace {

bool KeepsNvram(RunFamily family) {
    return family == RunFamily::NvramKeeping || family == RunFamily::SerialFlash ||
           family == RunFamily::SettingsInFlash || family == RunFamily::ByFlashMode;
}

bool ReadsSerialFlash(ChipClass cls) { return cls == ChipClass::Serial || cls == ChipClass::SerialGeneration1; }

TEST(ChipKindTable, RowsKeepTheirInvariants) {
    for (std::size_t index = 0; index < kChipKinds.size(); ++index) {
        const ChipKindRow& row = kChipKinds[index];
        SCOPED_TRACE("kind " + std::to_string(index));
        EXPECT_EQ(index, row.kind) << "rows stand in kind order";
        ASSERT_NE(nullptr, row.name);
        EXPECT_GT(std::strlen(row.name), 0u);
        ASSERT_NE(nullptr, row.fallbackVersion);
        // Only kind 0 has no code; a code is three digits.
        EXPECT_EQ(index == 0, row.code == nullptr);
        if (row.code != nullptr) {
            ASSERT_EQ(3u, std::strlen(row.code));
            for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(row.code[i])));
        }
        // The class and the run's family agree on where the firmware lives.
        const ChipClass cls = row.cls;
        if (IsFlashFamily(row.family)) {
            EXPECT_TRUE(cls == ChipClass::BridgeFlash || ReadsSerialFlash(cls));
        } else if (row.family == RunFamily::InternalRom) {
            EXPECT_EQ(ChipClass::ManualFlashChoice, cls);
        } else if (row.family == RunFamily::None) {
            EXPECT_EQ(ChipClass::Unsupported, cls);
        } else {
            EXPECT_EQ(ChipClass::DiskFirmware, cls);
        }
        // The NVRAM box is offered exactly where a run keeps the NVRAM.
        EXPECT_EQ(KeepsNvram(row.family), row.nvramBox);
        // Long version formats and disk fallbacks belong to serial-flash kinds.
        EXPECT_TRUE(row.version == VersionFormat::Short || ReadsSerialFlash(cls));
        EXPECT_TRUE(row.withoutFlash == WithoutFlash::Flash || ReadsSerialFlash(cls));
        EXPECT_TRUE(row.classRule == ClassRule::Fixed || cls == ChipClass::BridgeFlash);
    }
    EXPECT_EQ(&kChipKinds[0], &ChipKindInfo(static_cast<std::uint8_t>(kChipKinds.size())));
    EXPECT_EQ("Unknown Chip", ChipKindName(255));
}

}  // namespace
}  // namespace v62x
