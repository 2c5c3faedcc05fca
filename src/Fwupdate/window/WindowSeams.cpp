#include "Fwupdate/window/WindowSeams.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace v62x {

void QtMessageBoxes::Show(QWidget* parent, const OperatorMessage& message) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (message.icon) {
        case MessageIcon::None: icon = QMessageBox::NoIcon; break;
        case MessageIcon::Information: icon = QMessageBox::Information; break;
        case MessageIcon::Warning: icon = QMessageBox::Warning; break;
        case MessageIcon::Error: icon = QMessageBox::Critical; break;
    }
    QMessageBox box(icon, QString::fromStdString(message.title), QString::fromStdString(message.text),
                    QMessageBox::Ok, parent);
    box.exec();
}

bool QtRunQuestions::QuitAfterRun(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, parent != nullptr ? parent->windowTitle() : QString(), text,
                    QMessageBox::NoButton, parent);
    QPushButton* keep = box.addButton("Keep running", QMessageBox::RejectRole);
    QPushButton* quit = box.addButton("Quit after this step", QMessageBox::DestructiveRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    return box.clickedButton() == quit;
}

QString QtFileDialogs::OpenFile(QWidget* parent, const OpenFileRequest& request) {
    QFileDialog dialog(parent, QString(), request.initialDir);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(request.filters);
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

}  // namespace v62x
