// What the window shows modally: message boxes, the open-file dialog and the
// question before closing during a run. They go through these small
// interfaces so that the window tests record them instead of blocking on a
// modal loop; the program uses the Qt ones.
#pragma once

#include <QString>
#include <QStringList>

#include "IDEAccess/Notifier.h"

class QWidget;

namespace v62x {

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // A modal box with an OK button; returns when the operator closed it.
    virtual void Show(QWidget* parent, const OperatorMessage& message) = 0;
};

struct OpenFileRequest {
    QString initialDir;
    QStringList filters;   // "Name (*.ext)", the first one preselected
    QString defaultSuffix;
};

class FileDialogs {
public:
    virtual ~FileDialogs() = default;
    // The chosen path, or an empty text when the operator cancelled.
    virtual QString OpenFile(QWidget* parent, const OpenFileRequest& request) = 0;
};

// The question asked when the window is to close while a run works.
class RunQuestions {
public:
    virtual ~RunQuestions() = default;
    // True to close the window once the running step is over; false (the
    // default answer) keeps the window and the run going.
    virtual bool QuitAfterRun(QWidget* parent, const QString& text) = 0;
};

// QMessageBox, titled as the message says, with the message's icon.
class QtMessageBoxes : public MessageBoxes {
public:
    void Show(QWidget* parent, const OperatorMessage& message) override;
};

// QFileDialog in open mode. The named file need not exist: the same dialog
// names the backup file that a backup creates.
class QtFileDialogs : public FileDialogs {
public:
    QString OpenFile(QWidget* parent, const OpenFileRequest& request) override;
};

// A warning box offering "Keep running" (the default) and "Quit after this
// step".
class QtRunQuestions : public RunQuestions {
public:
    bool QuitAfterRun(QWidget* parent, const QString& text) override;
};

// The window's modal seams; null members fall back to the Qt ones. The
// window does not own what it is given.
struct WindowSeams {
    MessageBoxes* messages = nullptr;
    FileDialogs* files = nullptr;
    RunQuestions* questions = nullptr;
};

}  // namespace v62x
