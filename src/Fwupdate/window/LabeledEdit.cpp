#include "Fwupdate/window/LabeledEdit.h"

#include <QEvent>
#include <QLabel>

namespace v62x {
namespace {

constexpr int kLabelSpacing = 3;

}  // namespace

LabeledEdit::LabeledEdit(QWidget* parent, const QString& objectName, const QRect& geometry,
                         const QString& caption, bool readOnly)
    : QLineEdit(parent), label_(new QLabel(caption, parent)) {
    setObjectName(objectName);
    setGeometry(geometry);
    // Files dropped on the edit belong to the window's drop handler.
    setAcceptDrops(false);

    label_->setObjectName(objectName + QStringLiteral("Caption"));
    label_->setBuddy(this);
    const QSize hint = label_->sizeHint();
    label_->setGeometry(geometry.left() - kLabelSpacing - hint.width(),
                        geometry.top() + (geometry.height() - hint.height()) / 2, hint.width(),
                        hint.height());

    if (readOnly) {
        setReadOnly(true);
        QPalette face = palette();
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            face.setColor(group, QPalette::Base, face.color(group, QPalette::Window));
        }
        setPalette(face);
        connect(this, &QLineEdit::textChanged, this, [this](const QString& text) { setToolTip(text); });
    }
}

void LabeledEdit::SetFieldText(const QString& text) {
    setText(text);
    setCursorPosition(0);
}

void LabeledEdit::setVisible(bool visible) {
    label_->setVisible(visible);
    QLineEdit::setVisible(visible);
}

void LabeledEdit::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) label_->setEnabled(isEnabled());
    QLineEdit::changeEvent(event);
}

}  // namespace v62x
