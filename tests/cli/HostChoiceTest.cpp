// Which host the programs get for each value of V62X_SIMULATE.
#include <gtest/gtest.h>

#include "cli/HostChoice.h"
#include "VirtualBridge/SimulatedHost.h"

namespace v62x {
namespace {

TEST(HostChoice, FollowsTheEnvironment) {
    {
        HostChoice choice = ChooseHost("bridge:kind=9");
        EXPECT_EQ(nullptr, choice.host);
        EXPECT_FALSE(choice.simulated);
        EXPECT_EQ("entry 1: kind=9: no chip identifies as kind 9 (a 644/645 chip identifies as kind 8)",
                  choice.error);
    }
    {
        HostChoice choice = ChooseHost("bridge:kind=3;disk:class=cdrom");
        ASSERT_NE(nullptr, choice.host);
        EXPECT_TRUE(choice.simulated);
        EXPECT_EQ(1u, choice.host->ListCandidates(DeviceClass::Disk).size());
        EXPECT_EQ(1u, choice.host->ListCandidates(DeviceClass::CdRom).size());
        EXPECT_TRUE(choice.host->DrainDeviceEvents().empty()) << "the initial devices are no news";
    }
    {
        HostChoice choice = ChooseHost(" OFF ");
        ASSERT_NE(nullptr, choice.host);
        EXPECT_FALSE(choice.simulated);
        EXPECT_EQ(nullptr, dynamic_cast<sim::SimulatedHost*>(choice.host.get()));
    }
    // Unset or empty: the real host, whatever it sees (no simulation unless asked).
    for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
        HostChoice choice = ChooseHost(unset);
        ASSERT_NE(nullptr, choice.host);
        EXPECT_TRUE(choice.error.empty());
        EXPECT_FALSE(choice.simulated);
        EXPECT_EQ(nullptr, dynamic_cast<sim::SimulatedHost*>(choice.host.get()));
    }
}

}  // namespace
}  // namespace v62x
