// The main window: lists the bridges, shows chip, flash and firmware version
// of the selected one, takes the firmware file (typed, loaded or dropped),
// and holds the engineering panel with the options of a run. The window owns
// the tool state; the chip check sees it through the operator panel the
// window implements, a run on its worker thread through a panel that holds
// the options of the run's start and passes texts and messages to the window.
#pragma once

#include <QWidget>

#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "Fwupdate/ChipCheck.h"
#include "Fwupdate/OperatorPanel.h"
#include "Fwupdate/ToolState.h"
#include "Fwupdate/window/WindowSeams.h"

class QCheckBox;
class QComboBox;
class QCloseEvent;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QSocketNotifier;
class QTimer;

namespace v62x {

class DeviceClaim;
class LabeledEdit;
class RunPanel;
struct RunOutcome;

// What the window asks before closing while a run works.
constexpr const char* kStopRunQuestion =
    "A firmware update is running. Stopping now can leave the enclosure unusable.";

// Client area at design, with the engineering panel shown.
constexpr int kWindowWidth = 347;
constexpr int kWindowDesignHeight = 420;
constexpr int kRdPanelHeight = 129;

// Refresh delays after device events.
constexpr int kArrivalRefreshMs = 1200;
constexpr int kRemovalRefreshMs = 200;

// FirmwareSize by FwSizeCheck item.
constexpr int kFirmwareSizes[] = {32768, 65536, 131072, 262144, 524288, 1048576};

class TV62xFwTool : public QWidget, public OperatorPanel {
    Q_OBJECT

public:
    // Builds the controls, lists the devices, hides the engineering panel
    // and starts watching device arrival and removal.
    explicit TV62xFwTool(WindowSeams seams = {}, QWidget* parent = nullptr);
    // Waits for a run still working, then sends vendor mode off to the
    // devices marked for release.
    ~TV62xFwTool() override;

    TV62xFwTool(const TV62xFwTool&) = delete;
    TV62xFwTool& operator=(const TV62xFwTool&) = delete;

    // Handlers, run by their controls' events.
    void RefreshBtnClick();
    void UpdateBtnCheck();
    void LoadBtnClick();
    void UpdateBtnClick();
    void ExitBtnClick();
    void EraseOnlyCheckClick(QCheckBox* sender);
    void RdCheckBoxClick();
    void BackupBtnClick();
    void NVRAMCheckClick();
    void FwSizeCheckChange();
    void FwPgSizeCheckChange();

    // A procedure started by Run is working on its own thread.
    bool Running() const { return running_; }
    // Handles the window's events until the run (if any) is over.
    void WaitForRun();
    // The window works on simulated bridges: the caption ends with
    // " [simulated]" and a red mark in the window says so (screenshots
    // without a title bar included).
    void MarkSimulated();

    ToolState& State() { return state_; }
    // The one-shot timer that defers the refresh after device events.
    QTimer* RefreshTimer() const { return refreshTimer_; }
    // The view of the last chip check.
    const ChipView& LastChipView() const { return lastView_; }

    // OperatorPanel
    bool RdVersionChecked() const override;
    bool EraseOnlyChecked() const override;
    bool BackupOnlyChecked() const override;
    bool IncludeNvramChecked() const override;
    void SetIncludeNvramChecked(bool checked) override;
    bool A1ChipChecked() const override;
    bool CheckSumChecked() const override;
    std::string FirmwareFileName() const override;
    std::string BackupFileName() const override;
    void SetStatus(const std::string& text) override;
    void AppendStatusDot() override;
    std::string Status() const override;
    void ProcessPendingEvents() override;
    void RepaintStatus() override;
    void ShowMessage(const std::string& title, const std::string& text) override;
    bool RunButtonEnabled() const override;
    void SetRunButtonEnabled(bool enabled) override;
    void SetProgress(std::uint64_t done, std::uint64_t planned) override;

signals:
    // Emitted at the end of every refresh of the device list.
    void DevicesRefreshed();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void BuildMainControls();
    void BuildEngineeringPanel();
    void SetTabOrder();
    void ConnectHandlers();
    void WatchDevices();
    void OnDeviceEvents();
    void ShowEmptyState(const RefreshOutcome& outcome);
    void ApplyChipView(const ChipView& view);
    // A bridge is listed and was identified as a chip of the family.
    bool ChipListed() const;
    std::uint16_t Identification() const;
    // The open dialog, starting in the program's folder.
    QString AskForFile();
    // Disables the controls that change what a run uses, or gives them back
    // the states they had.
    void HoldControls(bool hold);
    // Back on the window's thread when the worker is done.
    void FinishRun(const RunOutcome& outcome);

    ToolState state_;
    ChipView lastView_;
    QtMessageBoxes qtMessages_;
    QtFileDialogs qtFiles_;
    MessageBoxes* messages_;
    FileDialogs* files_;
    QtRunQuestions qtQuestions_;
    RunQuestions* questions_;
    QString openDialogDir_;
    bool panelShown_ = true;  // the design height includes the panel
    bool running_ = false;          // a procedure started by Run is working
    bool refreshAfterRun_ = false;  // a refresh came due during the run
    bool closeAfterRun_ = false;    // the operator chose to quit after the run
    std::thread worker_;
    std::unique_ptr<RunPanel> runPanel_;
    std::unique_ptr<DeviceClaim> claim_;
    QString runFileName_;           // the file field as the run took it
    std::vector<std::pair<QWidget*, bool>> heldControls_;

    QTimer* refreshTimer_ = nullptr;
    QSocketNotifier* deviceWatch_ = nullptr;

    LabeledEdit* ChipLabelEdit = nullptr;
    QPushButton* RefreshBtn = nullptr;
    QLabel* diskLabel = nullptr;
    QComboBox* DeviceList = nullptr;
    LabeledEdit* FwFilenameEdit = nullptr;
    QPushButton* LoadBtn = nullptr;
    LabeledEdit* DiskLetterLable = nullptr;
    LabeledEdit* FwVerLableEdit = nullptr;
    LabeledEdit* SFlashTypeLable = nullptr;
    QLabel* FwPgBurnSizeLabel = nullptr;
    QComboBox* FwPgSizeCheck = nullptr;
    QLabel* FlashTypeLabel = nullptr;
    QComboBox* FlashTypeList = nullptr;
    LabeledEdit* StatusEdit = nullptr;
    QProgressBar* RunProgress = nullptr;
    QPushButton* UpdateBtn = nullptr;
    QPushButton* ExitBtn = nullptr;
    QCheckBox* RdCheckBox = nullptr;
    QFrame* Panel1 = nullptr;
    QFrame* RdPanel = nullptr;
    QCheckBox* VRS735HDDFwChk = nullptr;
    QCheckBox* A1ChipCheck = nullptr;
    QCheckBox* ChkSumChk = nullptr;
    QComboBox* VR735Path = nullptr;
    QCheckBox* EraseOnlyCheck = nullptr;
    QCheckBox* NVRAMCheck = nullptr;
    QCheckBox* BackupFWCheckBox = nullptr;
    QPushButton* BackupBtn = nullptr;
    QComboBox* FwSizeCheck = nullptr;
    QLabel* FwSizeLable = nullptr;
    LabeledEdit* BackupFileEdit = nullptr;
};

}  // namespace v62x
