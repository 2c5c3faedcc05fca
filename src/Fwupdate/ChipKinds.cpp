#include "Fwupdate/ChipKinds.h"

#include <array>

namespace v62x {
namespace {

constexpr std::array<const char*, 21> kChipKindNames = {
    "Unknown Chip",      "VR40620 Series",    "VR40621 Series", "VR40622 Series",
    "VR40624 Series",    "VR40614 Series",    "VRB641 Series",  "VRB642 Series",
    "VRB644/645 Series", "VRB644/645 Series", "VRB646 Series",  "VRS751/735 Series",
    "VRS735 Series",     "VRB715 Series",     "VRB705 Series",  "VR40624 Series",
    "VR40622",           "VR40623",           "VR40624",        "VR40620",
    "VR40621",
};

}  // namespace

std::string ChipKindName(std::uint8_t kind) {
    return kind < kChipKindNames.size() ? kChipKindNames[kind] : kChipKindNames[0];
}

}  // namespace v62x
