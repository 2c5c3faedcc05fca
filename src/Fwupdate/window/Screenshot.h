// Writes what a widget shows into a PNG file (works without a display).
#pragma once

#include <QString>

class QWidget;

namespace v62x {

// Creates the file's folder when needed. False with the reason on failure.
bool WriteScreenshot(QWidget& widget, const QString& path, QString& error);

}  // namespace v62x
