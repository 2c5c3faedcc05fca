#include "IDEAccess/ChipKinds.h"

namespace v62x {

std::string ChipKindName(std::uint8_t kind) { return ChipKindInfo(kind).name; }

ChipClass ClassOfKind(std::uint8_t kind, std::uint8_t revision, bool onIeee1394) {
    const ChipKindRow& row = ChipKindInfo(kind);
    switch (row.classRule) {
        case ClassRule::Fixed:
            break;
        case ClassRule::SerialOnIeee1394:
            if (onIeee1394) return ChipClass::Serial;
            break;
        case ClassRule::SerialGeneration1AfterTwo:
            if (revision > 2) return ChipClass::SerialGeneration1;
            break;
    }
    return row.cls;
}

}  // namespace v62x
