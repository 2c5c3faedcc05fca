#include "Fwupdate/window/Screenshot.h"

#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QWidget>

namespace v62x {

bool WriteScreenshot(QWidget& widget, const QString& path, QString& error) {
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        error = "cannot create the folder " + info.absolutePath();
        return false;
    }
    const QPixmap picture = widget.grab();
    if (picture.isNull() || !picture.save(path, "PNG")) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace v62x
