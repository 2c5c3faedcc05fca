// A single-line edit with its caption label on its left. The caption goes
// with the edit: hidden, shown, enabled and disabled together.
#pragma once

#include <QLineEdit>

class QLabel;

namespace v62x {

class LabeledEdit : public QLineEdit {
public:
    // The caption is placed left of `geometry` (3 pixels apart, centred on
    // the edit's height) in the same parent. A read-only edit takes the
    // window's face colour and shows its whole text as a tooltip.
    LabeledEdit(QWidget* parent, const QString& objectName, const QRect& geometry,
                const QString& caption, bool readOnly);

    QLabel* EditLabel() const { return label_; }

    // Sets the text and shows it from its start, as a read-only field should.
    void SetFieldText(const QString& text);

    void setVisible(bool visible) override;

protected:
    void changeEvent(QEvent* event) override;

private:
    QLabel* label_;
};

}  // namespace v62x
