// The window on a simulated host, with its message boxes and file dialogs
// recorded instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Fwupdate/ToolState.h"
#include "Fwupdate/window/V62xFwTool.h"
#include "Fwupdate/window/WindowSeams.h"
#include "support/SimBridges.h"
#include "IDEAccess/CommandSession.h"

namespace v62x::test {

struct RecordedMessages : MessageBoxes {
    std::vector<OperatorMessage> shown;
    std::function<void()> onShow;  // runs while the box would be open
    void Show(QWidget*, const OperatorMessage& message) override {
        shown.push_back(message);
        if (onShow) onShow();
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& m : shown) texts.push_back(m.text);
        return texts;
    }
};

// Answers the open dialog from a script; an empty answer is a cancel.
struct ScriptedFiles : FileDialogs {
    std::deque<QString> answers;
    std::vector<OpenFileRequest> requests;
    QString OpenFile(QWidget*, const OpenFileRequest& request) override {
        requests.push_back(request);
        if (answers.empty()) return {};
        QString answer = answers.front();
        answers.pop_front();
        return answer;
    }
};

// Answers the question before closing during a run: keep running unless
// told otherwise.
struct ScriptedQuestions : RunQuestions {
    bool quit = false;
    std::vector<QString> asked;
    bool QuitAfterRun(QWidget*, const QString& text) override {
        asked.push_back(text);
        return quit;
    }
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(files_dir.isValid());
    }

    // Creates and shows the window; device arrivals so far are no news.
    void Open() {
        host.DrainDeviceEvents();
        window = std::make_unique<TV62xFwTool>(WindowSeams{&messages, &files, &questions});
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    std::string AddBridge(int kind, int revision, Bus bus = Bus::Usb,
                          DeviceClass cls = DeviceClass::Disk) {
        return host.AddDevice(BridgeConfig(kind, revision, bus, cls)).path();
    }

    template <class T>
    T* Find(const char* name) const {
        T* widget = window->findChild<T*>(name);
        EXPECT_NE(nullptr, widget) << name;
        return widget;
    }
    QLineEdit* Edit(const char* name) const { return Find<QLineEdit>(name); }
    QCheckBox* Box(const char* name) const { return Find<QCheckBox>(name); }
    QComboBox* List(const char* name) const { return Find<QComboBox>(name); }
    QPushButton* Button(const char* name) const { return Find<QPushButton>(name); }
    bool Shown(const char* name) const {
        QWidget* widget = Find<QWidget>(name);
        return widget != nullptr && !widget->isHidden();
    }
    bool RunEnabled() const { return Button("UpdateBtn")->isEnabled(); }

    // Clicks a check box on its box, as the operator does.
    static void Click(QCheckBox* box) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(10, box->height() / 2));
    }

    // A 64 KiB image whose tag block at 0 carries `tag` (e.g. "6450").
    QString Image(const std::string& name, const std::string& tag) {
        std::vector<std::uint8_t> bytes(65536, 0xFF);
        const std::uint8_t signature[] = {0x55, 0xAA, 0xAA, 0x55};
        std::copy(std::begin(signature), std::end(signature), bytes.begin());
        std::copy(tag.begin(), tag.end(), bytes.begin() + 4);
        const QString path = files_dir.filePath(QString::fromStdString(name));
        std::ofstream out(path.toStdString(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    QString Missing(const std::string& name) const {
        return files_dir.filePath(QString::fromStdString(name));
    }

    // Kind 8 answers to "645" images; kind 11 to "751" ones.
    QString MatchingKind8Image() { return Image("kind8.bin", "6450"); }
    QString OtherChipImage() { return Image("kind11.bin", "7511"); }

    QTemporaryDir files_dir;
    sim::SimulatedHost host;
    CommandSession scoped{host};
    RecordedMessages messages;
    ScriptedFiles files;
    ScriptedQuestions questions;
    // Declared last: the window goes before the host it releases devices on.
    std::unique_ptr<TV62xFwTool> window;
};

}  // namespace v62x::test
