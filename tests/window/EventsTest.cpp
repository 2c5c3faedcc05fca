// Device arrival and removal (the deferred refresh), dropped files, the
// operator panel's status field, Run, Exit and the release at close.
#include <QElapsedTimer>
#include <QMimeData>
#include <QSignalSpy>
#include <QUrl>

#include "IDEAccess/FlashCommands.h"
#include "window/WindowFixture.h"

namespace v62x::test {
namespace {

class WindowDeviceEvents : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Open();
        spy = std::make_unique<QSignalSpy>(window.get(), &TV62xFwTool::DevicesRefreshed);
    }
    // Lets the window read the device watch.
    static void Deliver() { QCoreApplication::processEvents(); }
    // Expiry of the timer without waiting for it.
    void Expire() {
        QTimer* timer = window->RefreshTimer();
        ASSERT_TRUE(timer->isActive());
        timer->stop();
        QMetaObject::invokeMethod(timer, "timeout");
    }
    std::unique_ptr<QSignalSpy> spy;
};

TEST_F(WindowDeviceEvents, TimerIsOneShotAndPrecise) {
    QTimer* timer = window->RefreshTimer();
    EXPECT_TRUE(timer->isSingleShot());
    EXPECT_EQ(Qt::PreciseTimer, timer->timerType());
    EXPECT_FALSE(timer->isActive());
}

TEST_F(WindowDeviceEvents, ThreeQuickArrivalsGiveOneRefreshAfter1200Ms) {
    AddBridge(8, 1);
    AddBridge(3, 1);
    AddBridge(4, 1);
    Deliver();
    QTimer* timer = window->RefreshTimer();
    ASSERT_TRUE(timer->isActive());
    EXPECT_EQ(1200, timer->interval());
    EXPECT_GT(timer->remainingTime(), 1100);
    EXPECT_EQ(0, spy->count()) << "nothing is refreshed before the timer expires";

    Expire();
    EXPECT_EQ(1, spy->count());
    EXPECT_EQ(3, List("DeviceList")->count());
    Deliver();
    EXPECT_FALSE(timer->isActive()) << "the refresh posts no new event";
}

TEST_F(WindowDeviceEvents, EachEventRestartsTheTimer) {
    AddBridge(8, 1);
    Deliver();
    QTimer* timer = window->RefreshTimer();
    ASSERT_TRUE(timer->isActive());
    QTest::qWait(60);
    const int before = timer->remainingTime();
    AddBridge(3, 1);
    Deliver();
    EXPECT_GT(timer->remainingTime(), before) << "a later arrival pushes the refresh back";
}

TEST_F(WindowDeviceEvents, RemovalRefreshesAfter200MsAndTheLastEventDecides) {
    const std::string path = AddBridge(8, 1);
    window->RefreshBtnClick();
    ASSERT_EQ(1, spy->count());
    ASSERT_TRUE(List("DeviceList")->isEnabled());
    Deliver();  // the arrival
    ASSERT_EQ(1200, window->RefreshTimer()->interval());

    QElapsedTimer clock;
    clock.start();
    host.Unplug(path);
    Deliver();
    EXPECT_EQ(200, window->RefreshTimer()->interval());
    ASSERT_TRUE(QTest::qWaitFor([&] { return spy->count() == 2; }, 2000));
    EXPECT_GE(clock.elapsed(), 190);
    EXPECT_LT(clock.elapsed(), 1200);
    EXPECT_FALSE(List("DeviceList")->isEnabled());
    EXPECT_EQ(kNoDeviceText, List("DeviceList")->currentText().toStdString());
}

// A bridge restarted by the reset command leaves and re-attaches; the window
// refreshes after the re-attach and lists it again.
TEST_F(WindowDeviceEvents, BridgeResetIsFollowedByARefresh) {
    const std::string path = AddBridge(12, 1);
    window->RefreshBtnClick();
    Deliver();  // the first arrival
    if (window->RefreshTimer()->isActive()) Expire();
    const int refreshes = spy->count();

    ASSERT_EQ(1, ResetBridge(path));
    Deliver();
    QTimer* timer = window->RefreshTimer();
    ASSERT_TRUE(timer->isActive()) << "the reset's removal and arrival arm the refresh";
    EXPECT_EQ(1200, timer->interval()) << "the re-attach is the last event";
    Expire();
    EXPECT_EQ(refreshes + 1, spy->count());
    EXPECT_TRUE(List("DeviceList")->isEnabled());
    EXPECT_EQ(1, List("DeviceList")->count());
}

class WindowDrops : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        AddBridge(8, 1);
        Open();
    }
    // Drags the URLs over the window and drops them; true when the window
    // accepted the drag.
    bool Drop(const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        const QPoint at(200, 150);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &enter);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &drop);
        return enter.isAccepted();
    }
};

TEST_F(WindowDrops, OneFileBecomesTheFirmwareFileAndIsChecked) {
    const QString image = MatchingKind8Image();
    EXPECT_TRUE(Drop({QUrl::fromLocalFile(image)}));
    EXPECT_EQ(image, Edit("FwFilenameEdit")->text());
    EXPECT_TRUE(RunEnabled()) << "the chip check accepted the file";
    EXPECT_TRUE(messages.shown.empty());

    const QString other = OtherChipImage();
    Drop({QUrl::fromLocalFile(other)});
    EXPECT_EQ(other, Edit("FwFilenameEdit")->text());
    EXPECT_FALSE(RunEnabled());
    EXPECT_EQ(std::vector<std::string>{"The firmware file seems not match this chip!"}, messages.Texts());
}

TEST_F(WindowDrops, AnyOtherCountShowsTheOneFileMessageAndChangesNothing) {
    const QString first = MatchingKind8Image();
    const QString second = OtherChipImage();
    const struct {
        const char* what;
        QList<QUrl> urls;
    } rows[] = {
        {"two files", {QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}},
        {"no file", {}},
        {"a remote address", {QUrl("https://example.invalid/fw.bin")}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Edit("FwFilenameEdit")->setText("kept.bin");
        messages.shown.clear();
        Drop(row.urls);
        EXPECT_EQ("kept.bin", Edit("FwFilenameEdit")->text().toStdString());
        ASSERT_EQ(1u, messages.shown.size());
        EXPECT_EQ("Message", messages.shown[0].title);
        EXPECT_EQ("Please Drag and Drop One File Only!", messages.shown[0].text);
    }
}

TEST_F(WindowDrops, EditsLeaveDroppedFilesToTheWindow) {
    for (QLineEdit* edit : window->findChildren<QLineEdit*>()) {
        EXPECT_FALSE(edit->acceptDrops()) << edit->objectName().toStdString();
    }
}

TEST_F(WindowTest, StatusFieldThroughTheOperatorPanel) {
    Open();
    OperatorPanel& panel = *window;
    panel.SetStatus("Erasing");
    panel.AppendStatusDot();
    panel.AppendStatusDot();
    EXPECT_EQ("Erasing..", panel.Status());
    EXPECT_EQ("Erasing..", Edit("StatusEdit")->text().toStdString());
    panel.ShowMessage("Error", "Open Firmware File Error!!");
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    panel.ShowMessage("Message", "Programming Success!!");
    EXPECT_EQ(MessageIcon::None, messages.shown[1].icon);
}

TEST_F(WindowTest, DeviceUnitMessagesAppearThroughTheWindow) {
    AddBridge(8, 1);
    Open();
    Edit("FwFilenameEdit")->setText(Missing("absent.bin"));
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_EQ("Error", messages.shown[0].title);
    EXPECT_EQ("Open Firmware File Error!!", messages.shown[0].text);
    EXPECT_EQ(MessageIcon::Error, messages.shown[0].icon);
    EXPECT_FALSE(RunEnabled());
}

TEST_F(WindowTest, RunWritesItsTraceLine) {
    AddBridge(8, 1);
    Open();
    window->UpdateBtnClick();
    window->WaitForRun();
    const auto& traces = host.Traces();
    EXPECT_NE(traces.end(), std::find(traces.begin(), traces.end(), "Update Btn Press\n"));
}

TEST_F(WindowTest, ExitClosesAndTheCdRomClassBridgeIsReleased) {
    const std::string disk = AddBridge(8, 1);
    const std::string cdrom = AddBridge(12, 1, Bus::Usb, DeviceClass::CdRom);
    Open();
    ASSERT_EQ(2, List("DeviceList")->count());

    QTest::mouseClick(Button("ExitBtn"), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    host.ClearLog();
    window.reset();

    const std::vector<std::uint8_t> modeOff = {0xFF, 0x04, 0x56, 0x52, 0xAA};
    std::vector<std::string> released;
    for (const auto& entry : host.Log()) {
        if (entry.cdb.size() >= modeOff.size() && std::equal(modeOff.begin(), modeOff.end(), entry.cdb.begin())) {
            released.push_back(entry.path);
        }
    }
    EXPECT_EQ(std::vector<std::string>{cdrom}, released);
    EXPECT_EQ(host.Log().size(), released.size()) << "nothing else is sent at close";
}

}  // namespace
}  // namespace v62x::test
