#include "Fwupdate/ToolState.h"

namespace v62x {

FlashGeometry& Geometry() {
    static FlashGeometry geometry;
    return geometry;
}

}  // namespace v62x
