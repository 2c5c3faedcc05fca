// The program's icon, drawn in code: a bridge chip with its pins.
#pragma once

#include <QIcon>

namespace v62x {

QIcon AppIcon();

}  // namespace v62x
