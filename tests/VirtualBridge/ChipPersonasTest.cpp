// What the chip personas refuse, and the answers the identification test
// (which runs the tool's identification over every kind) does not look at.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "IDEAccess/CommandSession.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/IdentifyChip.h"
#include "IDEAccess/Notifier.h"
#include "VirtualBridge/SimulatedHost.h"

namespace v62x::sim {
namespace {

BridgeVariant Variant(bool inquiryTag = false) {
    BridgeVariant variant;
    variant.inquiryTag = inquiryTag;
    return variant;
}

TEST(SimPersonas, RefusesWhatNoChipCanReport) {
    BridgeVariant code644;
    code644.code644 = true;
    BridgeVariant text623;
    text623.chipText623 = true;
    BridgeVariant length8;
    length8.chipInfoLength = 8;
    struct Case {
        int kind;
        int revision;
        BridgeVariant variant;
        const char* whyContains;
    };
    const Case cases[] = {
        {9, 1, Variant(), "no chip identifies as kind 9 (a 644/645 chip identifies as kind 8)"},
        {0, 0, Variant(), "kinds are 1..20"},
        {21, 1, Variant(), "kinds are 1..20"},
        {-1, 1, Variant(), "kinds are 1..20"},
        {1, 10, Variant(), "0..9"},
        {3, -1, Variant(), "0..9"},
        {1, 0, Variant(), "revision 1 or higher"},
        {15, 0, Variant(), "revision 1 or higher"},
        {16, 1, Variant(), "always has revision 0"},
        {17, 2, Variant(), "chip text 623"},
        {18, 1, Variant(), "always has revision 0"},
        {19, 9, Variant(), "always has revision 0"},
        {20, 1, Variant(), "2E7A/2621"},
        {17, 0, text623, "revision 1 or higher"},
        {7, 3, Variant(), "revision 1 or 2 only"},
        {7, 0, Variant(true), "revision 1 or 2 only"},
        {11, 6, Variant(), "identifies as revision 5"},
        {11, 3, Variant(true), "revision 5 (revision register 0xB4 or more) or 0"},
        {2, 1, Variant(true), "revision 0 only"},
        {8, 2, Variant(true), "revision 0 only"},
        {1, 0, Variant(true), "through its tag"},
        {16, 0, Variant(true), "never as kind 16"},
        {20, 0, Variant(true), "never as kind 20"},
        {4, 1, code644, "644 belongs to kind 8"},
        {3, 1, text623, "623 belongs to kind 17"},
        {3, 1, length8, "12 or 16 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " rev " << c.revision << " inqtag "
                                        << c.variant.inquiryTag);
        BridgeAnswers answers;
        std::string why;
        EXPECT_FALSE(AnswersForKind(c.kind, c.revision, c.variant, answers, why));
        EXPECT_NE(std::string::npos, why.find(c.whyContains)) << why;
    }
}

// The USB IDs 2E7A/2621 make any record kind 20, so no other chip may carry
// them, not even in the "%X%X" spelling the identification compares.
TEST(SimPersonas, OnlyKind20CarriesTheForeignIds) {
    for (int kind = 1; kind <= 20; ++kind) {
        for (int revision = 0; revision <= 9; ++revision) {
            BridgeAnswers answers;
            std::string why;
            if (!AnswersForKind(kind, revision, Variant(), answers, why)) continue;
            ASSERT_TRUE(answers.chipInfo.has_value());
            const auto& r = *answers.chipInfo;
            char vendor[8];
            char product[8];
            std::snprintf(vendor, sizeof vendor, "%X%X", r[2], r[3]);
            std::snprintf(product, sizeof product, "%X%X", r[4], r[5]);
            const bool foreign = std::string(vendor).find("2E7A") != std::string::npos &&
                                 std::string(product).find("2621") != std::string::npos;
            EXPECT_EQ(kind == 20, foreign) << "kind " << kind;
        }
    }
}

TEST(SimPersonas, DiskFirmwareIndicatorOnlyOnKinds5And14) {
    for (int kind = 1; kind <= 20; ++kind) {
        BridgeAnswers answers;
        std::string why;
        if (!AnswersForKind(kind, kind >= 16 ? 0 : 1, Variant(), answers, why)) continue;
        ASSERT_GT(answers.statusRecord.size(), 8u);
        EXPECT_EQ(kind == 5 || kind == 14 ? 0xD0 : 0x00, answers.statusRecord[8]) << "kind " << kind;
    }
}

// Variants the identification test does not cover, identified by the
// tool's own identification through the simulated host.
TEST(SimPersonas, VariantsIdentifyAsAsked) {
    struct Case {
        int kind;
        int revision;
        bool inquiryTag;
        bool code644;
        bool chipText623;
        std::uint32_t chipInfoLength;
    };
    std::vector<Case> cases;
    for (int revision = 1; revision <= 9; ++revision) cases.push_back({17, revision, false, false, true, 16});
    cases.push_back({17, 0, true, false, true, 16});
    cases.push_back({8, 1, false, true, false, 16});
    cases.push_back({8, 0, true, true, false, 16});
    for (int kind = 1; kind <= 20; ++kind) {
        for (int revision = 0; revision <= 9; ++revision) cases.push_back({kind, revision, false, false, false, 12});
    }
    int identified = 0;
    for (const Case& c : cases) {
        BridgeVariant variant;
        variant.inquiryTag = c.inquiryTag;
        variant.code644 = c.code644;
        variant.chipText623 = c.chipText623;
        variant.chipInfoLength = c.chipInfoLength;
        DeviceConfig config;
        std::string why;
        if (!MakeBridgeConfig(c.kind, c.revision, variant, config, why)) {
            EXPECT_EQ(12u, c.chipInfoLength) << "kind " << c.kind << " rev " << c.revision << ": " << why;
            continue;
        }
        SimulatedHost host;
        CommandSession scoped(host);
        SetMessageNotifier([](const OperatorMessage& m) { ADD_FAILURE() << m.text; });
        const std::uint16_t id = IdentifyChip(host.AddDevice(config).path());
        SetMessageNotifier({});
        EXPECT_EQ(c.kind, ChipKindOf(id)) << "kind " << c.kind << " rev " << c.revision
                                          << " length " << c.chipInfoLength;
        EXPECT_EQ(c.revision, ChipRevisionOf(id)) << "kind " << c.kind << " rev " << c.revision
                                                  << " length " << c.chipInfoLength;
        if (c.code644) {
            const std::uint8_t lastDigit = c.inquiryTag ? (*config.answers.inquiryTag)[3]
                                                        : (*config.answers.chipInfo)[10];
            EXPECT_EQ('4', lastDigit) << "the chip says 644";
        }
        ++identified;
    }
    EXPECT_GT(identified, 60);
}

TEST(SimPersonas, RevisionRegisterOfThe751) {
    for (int revision = 1; revision <= 5; ++revision) {
        BridgeAnswers answers;
        std::string why;
        ASSERT_TRUE(AnswersForKind(11, revision, Variant(), answers, why)) << why;
        DeviceConfig config;
        config.answers = answers;
        VirtualDevice device(config);
        const std::uint8_t reg = device.memory()[bridge_memory::kRevisionReg + 1];
        EXPECT_EQ(revision == 5, reg >= 0xB4) << "revision " << revision << " register " << int(reg);
    }
}

}  // namespace
}  // namespace v62x::sim
