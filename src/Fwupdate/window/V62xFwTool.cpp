#include "Fwupdate/window/V62xFwTool.h"

#include <cerrno>

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <string>

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include "Fwupdate/DeviceRefresh.h"
#include "Fwupdate/ImageChecks.h"
#include "Fwupdate/RunDispatch.h"
#include "Fwupdate/window/AppIcon.h"
#include "Fwupdate/window/LabeledEdit.h"
#include "IDEAccess/ChipKinds.h"
#include "IDEAccess/FirmwareFile.h"
#include "IDEAccess/Host.h"
#include "IDEAccess/Notifier.h"
#include "Version.h"

namespace v62x {
namespace {

// The caption ends with the program version (Version.h, from CMake).
const QString kCaption = QStringLiteral(" VR4062x FW Update Utility v") + QString::fromLatin1(kVersion);
constexpr const char* kOneFileOnly = "Please Drag and Drop One File Only!";
constexpr const char* kChecksumMessage = "Please check the firmware file with checksum!";
constexpr const char* kTagProperty = "tag";
constexpr int kProgressSteps = 1000;

// The design face is an 8-point bitmap sans serif; its stand-ins are wider,
// so captions keep inside their design widths at a 10-pixel size.
constexpr const char* kFaceFamily = "MS Sans Serif";
constexpr int kFacePixels = 10;
constexpr int kLargeFacePixels = 12;  // the design's 10-point list

// Turns an operator-given name into the bytes the file system sees.
std::string FileSystemName(const QString& name) { return QFile::encodeName(name).toStdString(); }

QFont WindowFont(int pixels) {
    static const bool substituted = [] {
        QFont::insertSubstitutions(kFaceFamily, {"Liberation Sans", "Arimo", "DejaVu Sans"});
        return true;
    }();
    (void)substituted;
    QFont font(kFaceFamily);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    return font;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QRect& geometry, const char* caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    return button;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QRect& geometry, const char* caption) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    box->setGeometry(geometry);
    return box;
}

QComboBox* MakeList(QWidget* parent, const char* name, const QRect& geometry, const QStringList& items,
                    int selected) {
    auto* list = new QComboBox(parent);
    list->setObjectName(name);
    list->setGeometry(geometry);
    list->addItems(items);
    list->setCurrentIndex(selected);
    return list;
}

// Labels size themselves to their caption, never below the design size.
QLabel* MakeLabel(QWidget* parent, const char* name, const QRect& geometry, const char* caption) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    const QSize hint = label->sizeHint();
    label->setGeometry(geometry.left(), geometry.top(), std::max(geometry.width(), hint.width()),
                       std::max(geometry.height(), hint.height()));
    return label;
}

void ApplyChange(QWidget* control, const ControlChange& change) {
    if (change.visible) control->setVisible(*change.visible);
    if (change.enabled) control->setEnabled(*change.enabled);
}

}  // namespace

// The operator panel of a run on the worker thread. The options and file
// names are those of the run's start; status texts, dots, progress and the
// NVRAM box go to the window through its event queue, and a message waits
// on the worker until the operator has closed it.
class RunPanel : public OperatorPanel {
public:
    using Options = PanelOptions;

    RunPanel(TV62xFwTool& window, ToolState& state, Options options, std::string status)
        : window_(window), state_(state), options_(std::move(options)), status_(std::move(status)) {}

    bool RdVersionChecked() const override { return options_.rdVersion; }
    bool EraseOnlyChecked() const override { return options_.eraseOnly; }
    bool BackupOnlyChecked() const override { return options_.backupOnly; }
    bool IncludeNvramChecked() const override { return options_.includeNvram; }
    // The run owns the tool state until it ends: the choice is recorded here
    // as the box's handler records it, and the box follows on the window.
    void SetIncludeNvramChecked(bool checked) override {
        options_.includeNvram = checked;
        state_.id.IncludeNvram = checked ? 1 : 0;
        Post([this, checked] { window_.SetIncludeNvramChecked(checked); });
    }
    bool A1ChipChecked() const override { return options_.a1Chip; }
    bool CheckSumChecked() const override { return options_.checkSum; }
    std::string FirmwareFileName() const override { return options_.firmwareFile; }
    std::string BackupFileName() const override { return options_.backupFile; }

    void SetStatus(const std::string& text) override {
        status_ = text;
        Post([this, text] { window_.SetStatus(text); });
    }
    void AppendStatusDot() override {
        status_ += '.';
        Post([this] { window_.AppendStatusDot(); });
    }
    std::string Status() const override { return status_; }
    // The window's thread handles its events on its own.
    void ProcessPendingEvents() override {}
    void RepaintStatus() override {}
    void SetProgress(std::uint64_t done, std::uint64_t planned) override {
        Post([this, done, planned] { window_.SetProgress(done, planned); });
    }
    void ShowMessage(const std::string& title, const std::string& text) override {
        QMetaObject::invokeMethod(
            &window_, [this, &title, &text] { window_.ShowMessage(title, text); }, Qt::BlockingQueuedConnection);
    }
    // The window's Run button stays disabled for the whole run.
    bool RunButtonEnabled() const override { return runEnabled_; }
    void SetRunButtonEnabled(bool enabled) override { runEnabled_ = enabled; }

private:
    template <class Work>
    void Post(Work work) {
        QMetaObject::invokeMethod(&window_, std::move(work), Qt::QueuedConnection);
    }

    TV62xFwTool& window_;
    ToolState& state_;
    Options options_;
    std::string status_;
    bool runEnabled_ = false;
};

TV62xFwTool::TV62xFwTool(WindowSeams seams, QWidget* parent)
    : QWidget(parent),
      messages_(seams.messages != nullptr ? seams.messages : &qtMessages_),
      files_(seams.files != nullptr ? seams.files : &qtFiles_),
      questions_(seams.questions != nullptr ? seams.questions : &qtQuestions_) {
    // 1. The window and its controls.
    BuildControls();
    SetTabOrder();

    // Messages of the device unit (file open errors, chip information
    // failures) appear as modal boxes over this window; from a run's worker
    // the worker waits until the box is closed.
    SetMessageNotifier([this](const OperatorMessage& message) {
        OperatorMessage shown = message;
        if (shown.icon == MessageIcon::None && shown.title == "Error") shown.icon = MessageIcon::Error;
        if (QThread::currentThread() == thread()) {
            messages_->Show(this, shown);
        } else {
            QMetaObject::invokeMethod(
                this, [this, &shown] { messages_->Show(this, shown); }, Qt::BlockingQueuedConnection);
        }
    });

    // 2. Options state.
    state_.id.EraseOnlyFlag = EraseOnlyCheck->isChecked() ? 1 : 0;
    state_.id.IncludeNvram = 1;

    ConnectHandlers();

    // 3. Device list and chip check.
    RefreshBtnClick();
    // 4. Engineering panel off: the window loses the panel's height.
    RdCheckBoxClick();
    // 5. Device arrival and removal, dropped files.
    WatchDevices();
    setAcceptDrops(true);
}

TV62xFwTool::~TV62xFwTool() {
    closeAfterRun_ = false;
    WaitForRun();
    delete deviceWatch_;
    deviceWatch_ = nullptr;
    SetMessageNotifier({});
    ReleaseMarkedDevices(state_.devices);
}

void TV62xFwTool::BuildControls() {
    setObjectName("V62xFwTool");
    setWindowTitle(kCaption);
    setWindowIcon(AppIcon());
    // Fixed border: title, system menu, minimize and close; no maximize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFont(WindowFont(kFacePixels));
    setFixedSize(kWindowWidth, kWindowDesignHeight);
    move(413, 199);
    BuildMainControls();
    BuildEngineeringPanel();

    refreshTimer_ = new QTimer(this);
    refreshTimer_->setObjectName("RefreshTimer");
    refreshTimer_->setSingleShot(true);
    refreshTimer_->setTimerType(Qt::PreciseTimer);
}

// The controls every operator sees, above the navy rule.
void TV62xFwTool::BuildMainControls() {
    ChipLabelEdit = new LabeledEdit(this, "ChipLabelEdit", {80, 12, 129, 21}, "Chip ", true);
    RefreshBtn = MakeButton(this, "RefreshBtn", {240, 8, 91, 25}, "Refresh Device");
    RefreshBtn->hide();
    diskLabel = MakeLabel(this, "diskLabel", {24, 44, 46, 13}, "USB Disk");
    DeviceList = MakeList(this, "DeviceList", {80, 40, 249, 21}, {}, -1);
    FwFilenameEdit = new LabeledEdit(this, "FwFilenameEdit", {80, 70, 249, 21}, "Firmware File ", false);
    LoadBtn = MakeButton(this, "LoadBtn", {256, 96, 75, 25}, "Load File");
    DiskLetterLable = new LabeledEdit(this, "DiskLetterLable", {80, 100, 113, 21}, "Drives ", true);
    FwVerLableEdit = new LabeledEdit(this, "FwVerLableEdit", {80, 124, 113, 21}, "Firmware Ver. ", true);
    SFlashTypeLable = new LabeledEdit(this, "SFlashTypeLable", {80, 148, 113, 21}, "Flash Type", true);
    FwPgBurnSizeLabel = MakeLabel(this, "FwPgBurnSizeLabel", {24, 175, 53, 13}, "Flash PgSz");
    FwPgBurnSizeLabel->hide();
    FwPgSizeCheck = MakeList(this, "FwPgSizeCheck", {80, 172, 89, 21},
                             {"32 KB", "16 KB", " 8 KB", " 4 KB", " 2 KB"}, 1);
    FwPgSizeCheck->hide();
    FlashTypeLabel = MakeLabel(this, "FlashTypeLabel", {24, 196, 55, 13}, "Flash Type ");
    FlashTypeList = MakeList(this, "FlashTypeList", {80, 196, 145, 21},
                             {"ATMELAT 49BV512", "PMC OM39LV512", "SST SST39LF512"}, 0);
    StatusEdit = new LabeledEdit(this, "StatusEdit", {80, 220, 249, 21}, "Status ", true);
    // A run's progress, in the gap between the status field and the buttons.
    RunProgress = new QProgressBar(this);
    RunProgress->setObjectName("RunProgress");
    RunProgress->setGeometry(80, 243, 249, 10);
    RunProgress->setRange(0, kProgressSteps);
    RunProgress->setValue(0);
    RunProgress->setTextVisible(false);
    UpdateBtn = MakeButton(this, "UpdateBtn", {96, 256, 75, 25}, "Run");
    UpdateBtn->setEnabled(false);
    ExitBtn = MakeButton(this, "ExitBtn", {216, 256, 75, 25}, "Exit");
    RdCheckBox = MakeCheckBox(this, "RdCheckBox", {8, 264, 81, 17}, "RD Version");
}

// The navy rule and the engineering options under it, shown with "RD Version".
void TV62xFwTool::BuildEngineeringPanel() {
    // A 3-pixel navy rule above the engineering panel.
    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(8, 289, kWindowWidth - 10, 3);
    Panel1->setFrameShape(QFrame::NoFrame);
    Panel1->setAutoFillBackground(true);
    QPalette navy = Panel1->palette();
    navy.setColor(QPalette::Window, QColor(0x00, 0x00, 0x80));
    Panel1->setPalette(navy);

    RdPanel = new QFrame(this);
    RdPanel->setObjectName("RdPanel");
    RdPanel->setGeometry(0, 296, 345, kRdPanelHeight);
    RdPanel->setFrameShape(QFrame::Panel);
    RdPanel->setFrameShadow(QFrame::Raised);
    RdPanel->hide();

    VRS735HDDFwChk = MakeCheckBox(RdPanel, "VRS735HDDFwChk", {8, 7, 113, 17}, "VRS735 HDD FW ");
    A1ChipCheck = MakeCheckBox(RdPanel, "A1ChipCheck", {8, 8, 65, 17}, "A1 Chip");
    ChkSumChk = MakeCheckBox(RdPanel, "ChkSumChk", {128, 8, 113, 17}, "Check CheckSum");
    VR735Path = MakeList(RdPanel, "VR735Path", {240, 4, 97, 21},
                         {"1.SETNVRAM", "2.FLASHREAD", "3.FLASHOPCODE"}, 0);
    VR735Path->hide();
    EraseOnlyCheck = MakeCheckBox(RdPanel, "EraseOnlyCheck", {8, 28, 121, 17}, "Erase All Flash Only ");
    NVRAMCheck = MakeCheckBox(RdPanel, "NVRAMCheck", {128, 28, 113, 17}, "Include 4K NVRAM");
    BackupFWCheckBox =
        MakeCheckBox(RdPanel, "BackupFWCheckBox", {8, 48, 153, 17}, "Backup Old Firmware Only");
    BackupBtn = MakeButton(RdPanel, "BackupBtn", {256, 61, 75, 25}, "Browse");
    FwSizeCheck = MakeList(RdPanel, "FwSizeCheck", {8, 72, 65, 24},
                           {"32KB", "64KB", "128KB", "256KB", "512KB", "   1MB"}, 0);
    FwSizeCheck->setFont(WindowFont(kLargeFacePixels));
    FwSizeLable = MakeLabel(RdPanel, "FwSizeLable", {75, 75, 63, 13}, "Firmware size");
    BackupFileEdit =
        new LabeledEdit(RdPanel, "BackupFileEdit", {115, 96, 214, 21}, "Backup FileName ", false);

    // The shared option handler tells its boxes apart by their tag.
    EraseOnlyCheck->setProperty(kTagProperty, 0);
    VRS735HDDFwChk->setProperty(kTagProperty, 0);
    BackupFWCheckBox->setProperty(kTagProperty, 1);
}

void TV62xFwTool::SetTabOrder() {
    const QList<QWidget*> main = {ChipLabelEdit, RefreshBtn, FwFilenameEdit, LoadBtn,
                                  DeviceList,    DiskLetterLable, FwVerLableEdit, SFlashTypeLable,
                                  FlashTypeList, StatusEdit, RdCheckBox, ExitBtn,
                                  UpdateBtn,     FwPgSizeCheck};
    const QList<QWidget*> panel = {BackupFWCheckBox, EraseOnlyCheck, BackupFileEdit, BackupBtn,
                                   A1ChipCheck,      NVRAMCheck,     FwSizeCheck,    ChkSumChk,
                                   VR735Path,        VRS735HDDFwChk};
    QList<QWidget*> chain = main;
    chain.append(panel);
    for (qsizetype i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);
}

void TV62xFwTool::ConnectHandlers() {
    connect(RefreshBtn, &QPushButton::clicked, this, [this] { RefreshBtnClick(); });
    connect(DeviceList, &QComboBox::currentIndexChanged, this, [this] { UpdateBtnCheck(); });
    connect(FwFilenameEdit, &QLineEdit::textChanged, this, [this] { UpdateBtnCheck(); });
    connect(FlashTypeList, &QComboBox::currentIndexChanged, this, [this] { UpdateBtnCheck(); });
    connect(LoadBtn, &QPushButton::clicked, this, [this] { LoadBtnClick(); });
    connect(UpdateBtn, &QPushButton::clicked, this, [this] { UpdateBtnClick(); });
    connect(ExitBtn, &QPushButton::clicked, this, [this] { ExitBtnClick(); });
    connect(RdCheckBox, &QCheckBox::clicked, this, [this] { RdCheckBoxClick(); });
    for (QCheckBox* box : {EraseOnlyCheck, VRS735HDDFwChk, BackupFWCheckBox}) {
        connect(box, &QCheckBox::clicked, this, [this, box] { EraseOnlyCheckClick(box); });
    }
    // IncludeNvram follows the box whoever ticks it: the operator, the chip
    // check restoring it, or a procedure.
    connect(NVRAMCheck, &QCheckBox::toggled, this, [this] { NVRAMCheckClick(); });
    connect(BackupBtn, &QPushButton::clicked, this, [this] { BackupBtnClick(); });
    connect(FwSizeCheck, &QComboBox::currentIndexChanged, this, [this] { FwSizeCheckChange(); });
    connect(FwPgSizeCheck, &QComboBox::currentIndexChanged, this, [this] { FwPgSizeCheckChange(); });
    connect(VR735Path, &QComboBox::currentIndexChanged, this, [this] { FwPgSizeCheckChange(); });
    connect(refreshTimer_, &QTimer::timeout, this, [this] { RefreshBtnClick(); });
}

void TV62xFwTool::WatchDevices() {
    const int descriptor = CurrentHost().WatchDescriptor();
    if (descriptor < 0) return;
    deviceWatch_ = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(deviceWatch_, &QSocketNotifier::activated, this, [this] { OnDeviceEvents(); });
}

// Each event restarts the one refresh timer, so a burst of events gives one
// refresh after the last of them.
void TV62xFwTool::OnDeviceEvents() {
    for (const DeviceEvent& event : CurrentHost().DrainDeviceEvents()) {
        refreshTimer_->start(event.kind == DeviceEventKind::Arrival ? kArrivalRefreshMs
                                                                    : kRemovalRefreshMs);
    }
}

// --- Device list -----------------------------------------------------------

void TV62xFwTool::RefreshBtnClick() {
    if (running_) {
        refreshAfterRun_ = true;
        return;
    }
    const RefreshOutcome outcome = RefreshDevices(state_.devices);
    state_.currentChip = outcome.currentChip;

    if (outcome.empty) {
        ShowEmptyState(outcome);
    } else {
        {
            const QSignalBlocker quiet(DeviceList);
            DeviceList->clear();
            for (const std::string& entry : outcome.entries) DeviceList->addItem(QString::fromLatin1(entry));
            DeviceList->setCurrentIndex(0);
        }
        if (!outcome.diskLabelCaption.empty()) {
            diskLabel->setText(QString::fromStdString(outcome.diskLabelCaption));
            diskLabel->resize(std::max(diskLabel->width(), diskLabel->sizeHint().width()), diskLabel->height());
        }
        DeviceList->setEnabled(true);
        UpdateBtnCheck();
    }
    emit DevicesRefreshed();
}

void TV62xFwTool::ShowEmptyState(const RefreshOutcome& outcome) {
    {
        const QSignalBlocker quiet(DeviceList);
        DeviceList->clear();
        DeviceList->addItem(kNoDeviceText);
        DeviceList->setCurrentIndex(0);
    }
    DeviceList->setEnabled(false);
    UpdateBtn->setEnabled(false);
    for (LabeledEdit* field : {ChipLabelEdit, DiskLetterLable, FwVerLableEdit, SFlashTypeLable, StatusEdit}) {
        field->SetFieldText(QString());
    }
    FlashTypeList->setEnabled(false);
    A1ChipCheck->setEnabled(false);
    NVRAMCheck->hide();
    VRS735HDDFwChk->hide();
    // A device the host refused would otherwise look like no device at all.
    if (!outcome.refusedPaths.empty()) SetStatus(PermissionRefusalText(outcome.refusedPaths.front()));
    if (!outcome.busyPaths.empty()) SetStatus(BusyText(outcome.busyPaths.front()));
}

// --- Chip check --------------------------------------------------------------

void TV62xFwTool::UpdateBtnCheck() {
    // The run works with the identification and the firmware it started with.
    if (running_) return;
    ChipCheckRequest request;
    request.selected = std::max(0, DeviceList->currentIndex());
    request.listEnabled = DeviceList->isEnabled();
    request.fileName = FileSystemName(FwFilenameEdit->text());
    request.eraseOnly = EraseOnlyCheck->isChecked();
    request.backupOnly = BackupFWCheckBox->isChecked();
    lastView_ = ::v62x::UpdateBtnCheck(state_, request, *this);
    ApplyChipView(lastView_);
}

void TV62xFwTool::ApplyChipView(const ChipView& view) {
    NVRAMCheck->hide();
    if (!view.checked) return;
    if (view.runEnabled) UpdateBtn->setEnabled(*view.runEnabled);
    ChipLabelEdit->SetFieldText(QString::fromStdString(view.chipLabel));
    StatusEdit->SetFieldText(QString::fromStdString(view.status));
    SFlashTypeLable->SetFieldText(QString::fromStdString(view.flashType));
    FwVerLableEdit->SetFieldText(QString::fromStdString(view.version));
    DiskLetterLable->SetFieldText(QString::fromStdString(view.drives));
    ApplyChange(SFlashTypeLable, view.sflashType);
    ApplyChange(FwVerLableEdit, view.fwVersion);
    ApplyChange(FlashTypeList, view.flashTypeList);
    ApplyChange(FlashTypeLabel, view.flashTypeLabel);
    ApplyChange(A1ChipCheck, view.a1Chip);
    ApplyChange(VRS735HDDFwChk, view.vrs735);
    ApplyChange(NVRAMCheck, view.nvram);
    if (view.nvramChecked) NVRAMCheck->setChecked(*view.nvramChecked);
}

bool TV62xFwTool::ChipListed() const {
    const DeviceTable& devices = state_.devices;
    return devices.ListedCount > 0 && devices.CandidateCount != 0 && state_.id.ChipKind != kKindUnknown;
}

std::uint16_t TV62xFwTool::Identification() const {
    return static_cast<std::uint16_t>(state_.id.ChipKind | (state_.id.ChipRevision << 8));
}

// --- Firmware file -------------------------------------------------------------

QString TV62xFwTool::AskForFile() {
    if (openDialogDir_.isEmpty()) openDialogDir_ = QCoreApplication::applicationDirPath();
    OpenFileRequest request;
    request.initialDir = openDialogDir_;
    // Linux names need not carry a dot: "all files" is every name.
    request.filters = {"BinaryFile (*.bin)", "All Files (*)", "VRT Files (*.vrt)"};
    request.defaultSuffix = "bin";
    return files_->OpenFile(this, request);
}

void TV62xFwTool::LoadBtnClick() {
    if (running_) return;
    SetStatus("");
    const QString chosen = AskForFile();
    if (chosen.isEmpty()) return;

    // A new name runs the chip check through the edit's change event; the
    // same name chosen again is checked once more, so that the decision
    // below always rests on a check of this file.
    const bool sameName = FwFilenameEdit->text() == chosen;
    FwFilenameEdit->setText(chosen);
    if (sameName) UpdateBtnCheck();

    const std::string file = FileSystemName(chosen);
    if (ChkSumChk->isChecked() && FileChecksumOk(file, Identification()) == 0) {
        ShowMessage("Message", kChecksumMessage);
        UpdateBtn->setEnabled(false);
        return;
    }
    // Run only for a file the chip check accepted, or for the erase-only
    // and backup-only options; never for a file it has just rejected.
    if (lastView_.fileMismatch || !lastView_.checked) return;
    const bool accepted = lastView_.runEnabled.value_or(false);
    const bool optionApplies = ChipListed() && (EraseOnlyCheck->isChecked() || BackupFWCheckBox->isChecked());
    if (accepted || optionApplies) UpdateBtn->setEnabled(true);
}

void TV62xFwTool::dragEnterEvent(QDragEnterEvent* event) {
    if (running_) {
        event->ignore();
        return;
    }
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TV62xFwTool::dropEvent(QDropEvent* event) {
    if (running_) {
        event->ignore();
        return;
    }
    const QList<QUrl> urls = event->mimeData()->urls();
    event->acceptProposedAction();
    if (urls.size() == 1 && urls.front().isLocalFile()) {
        // The edit's change event checks the file against the chip.
        FwFilenameEdit->setText(urls.front().toLocalFile());
        return;
    }
    ShowMessage("Message", kOneFileOnly);
}

// --- Run and Exit ----------------------------------------------------------------

// One procedure per press, chosen by the dispatch, run on a worker thread
// so that the window keeps answering. The options and file names are taken
// once, here; while the run works the controls that would change what it
// uses are disabled and drops are ignored, and the window leaves the tool
// state to the run. After the size message Run stays disabled until the
// window state is checked again.
//
// A device event during the run (the bridge restarting itself, another
// device plugged in) would refresh the list and identify the selected
// device anew while the procedure still works with the identification: the
// refresh waits until the run is over.
void TV62xFwTool::UpdateBtnClick() {
    if (running_) return;
    UpdateBtn->setEnabled(false);
    CurrentHost().Trace("Update Btn Press\n");
    const int selected = std::max(0, DeviceList->currentIndex());
    if (selected >= state_.devices.ListedCount) return;
    const std::string path = state_.devices.records[static_cast<std::size_t>(selected)].InterfacePath;
    // One run per bridge: another program (or window) working on it keeps
    // it until its run is over.
    auto claim = std::make_unique<DeviceClaim>(path);
    if (!claim->held()) {
        SetStatus(claim->error() == EBUSY ? BusyText(path) : "Cannot claim " + path + " for the run");
        UpdateBtn->setEnabled(true);
        return;
    }
    RunRequest request;
    request.flashTypeIndex = std::max(0, FlashTypeList->currentIndex());
    request.vrs735HddFw = VRS735HDDFwChk->isChecked();
    RunPanel::Options options;
    options.rdVersion = RdVersionChecked();
    options.eraseOnly = EraseOnlyChecked();
    options.backupOnly = BackupOnlyChecked();
    options.includeNvram = IncludeNvramChecked();
    options.a1Chip = A1ChipChecked();
    options.checkSum = CheckSumChecked();
    options.firmwareFile = FirmwareFileName();
    options.backupFile = BackupFileName();
    runFileName_ = FwFilenameEdit->text();

    claim_ = std::move(claim);
    runPanel_ = std::make_unique<RunPanel>(*this, state_, std::move(options), Status());
    running_ = true;
    RunProgress->setValue(0);
    HoldControls(true);
    // Device events wait in the host until the run is over.
    if (deviceWatch_ != nullptr) deviceWatch_->setEnabled(false);
    worker_ = std::thread([this, path, request] {
        RunOutcome outcome;
        try {
            ProcedureContext ctx{state_, *runPanel_, path};
            outcome = RunUpdate(ctx, request);
        } catch (const std::exception& error) {
            CurrentHost().Trace(std::string("Run stopped: ") + error.what() + "\n");
        }
        QMetaObject::invokeMethod(this, [this, outcome] { FinishRun(outcome); }, Qt::QueuedConnection);
    });
}

void TV62xFwTool::FinishRun(const RunOutcome& outcome) {
    if (worker_.joinable()) worker_.join();
    runPanel_.reset();
    claim_.reset();
    running_ = false;
    HoldControls(false);
    if (outcome.enableRun) UpdateBtn->setEnabled(true);
    if (deviceWatch_ != nullptr) {
        deviceWatch_->setEnabled(true);
        OnDeviceEvents();
    }
    if (refreshAfterRun_) {
        refreshAfterRun_ = false;
        RefreshBtnClick();
    } else if (FwFilenameEdit->text() != runFileName_) {
        // The field changed under the run: check the new name now.
        UpdateBtnCheck();
    }
    if (closeAfterRun_) {
        closeAfterRun_ = false;
        close();
    }
}

void TV62xFwTool::MarkSimulated() {
    if (findChild<QLabel*>("SimulatedLabel") != nullptr) return;
    setWindowTitle(windowTitle() + " [simulated]");
    QLabel* mark = MakeLabel(this, "SimulatedLabel", QRect(216, 12, 120, 20), "SIMULATED");
    mark->setStyleSheet("color: #c00000; font-weight: bold;");
    mark->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    mark->show();
}

void TV62xFwTool::WaitForRun() {
    while (running_) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TV62xFwTool::HoldControls(bool hold) {
    if (!hold) {
        for (const auto& [control, enabled] : heldControls_) control->setEnabled(enabled);
        heldControls_.clear();
        return;
    }
    heldControls_.clear();
    for (QWidget* control : std::initializer_list<QWidget*>{
             DeviceList, FwFilenameEdit, LoadBtn, RdCheckBox, FlashTypeList, FwPgSizeCheck, VRS735HDDFwChk,
             A1ChipCheck, ChkSumChk, VR735Path, EraseOnlyCheck, NVRAMCheck, BackupFWCheckBox, BackupBtn,
             FwSizeCheck, BackupFileEdit}) {
        heldControls_.emplace_back(control, control->isEnabled());
        control->setEnabled(false);
    }
}

void TV62xFwTool::ExitBtnClick() { close(); }

// Closing during a run asks first; the run cannot be stopped halfway, so
// quitting means closing once it is over.
void TV62xFwTool::closeEvent(QCloseEvent* event) {
    if (!running_) {
        event->accept();
        return;
    }
    event->ignore();
    if (closeAfterRun_) return;
    closeAfterRun_ = questions_->QuitAfterRun(this, kStopRunQuestion);
}

// --- Options -----------------------------------------------------------------------

void TV62xFwTool::EraseOnlyCheckClick(QCheckBox* sender) {
    if (running_) return;
    // Erase-only and backup-only exclude each other.
    if (sender->property(kTagProperty).toInt() == 0) {
        if (state_.id.ChipKind == kKind641) NVRAMCheck->show();
        if (sender->isChecked()) BackupFWCheckBox->setChecked(false);
    } else if (BackupFWCheckBox->isChecked()) {
        EraseOnlyCheck->setChecked(false);
    }
    const bool eraseOnly = EraseOnlyCheck->isChecked();
    const bool backupOnly = BackupFWCheckBox->isChecked();

    // Some kinds let the operator give the flash size to erase or back up.
    const bool sizeChoice = ChipKindInfo(state_.id.ChipKind).flashSizeChoice && (eraseOnly || backupOnly);
    FwSizeCheck->setEnabled(sizeChoice);
    FwSizeCheck->setVisible(sizeChoice);
    FwSizeLable->setVisible(sizeChoice);

    state_.id.EraseOnlyFlag = eraseOnly ? 1 : 0;

    if (eraseOnly) {
        FwFilenameEdit->setEnabled(false);
        UpdateBtn->setEnabled(ChipListed());
    } else {
        FwFilenameEdit->setEnabled(true);
        const std::string file = FileSystemName(FwFilenameEdit->text());
        // The file is read once and matched; the bytes it accepted are the
        // bytes a run programs.
        bool accepted = false;
        if (ChipListed() && !file.empty()) {
            FirmwareImage image;
            accepted = LoadFirmwareImage(file, image) == ImageLoad::Ok &&
                       ImageMatchesChip(image.bytes.data(), image.bytes.size(), Identification()) != 0;
            state_.firmware = accepted ? std::move(image) : FirmwareImage{};
        }
        UpdateBtn->setEnabled(accepted);
    }
    if (!UpdateBtn->isEnabled() && backupOnly && ChipListed()) UpdateBtn->setEnabled(true);
}

void TV62xFwTool::RdCheckBoxClick() {
    if (running_) return;
    const bool show = RdCheckBox->isChecked();
    if (show != panelShown_) {
        setFixedHeight(height() + (show ? kRdPanelHeight : -kRdPanelHeight));
        panelShown_ = show;
    }
    if (show) {
        RdPanel->show();
        return;
    }
    RdPanel->hide();
    FwSizeCheck->hide();
    FwSizeLable->hide();
    FwFilenameEdit->setEnabled(true);
    UpdateBtn->setEnabled(false);
    UpdateBtnCheck();
}

void TV62xFwTool::BackupBtnClick() {
    if (running_) return;
    SetStatus("");
    const QString chosen = AskForFile();
    if (chosen.isEmpty()) return;
    BackupFileEdit->setText(chosen);
    // The name alone does not make a run possible: the options still decide.
    if (ChipListed() && (BackupFWCheckBox->isChecked() || EraseOnlyCheck->isChecked())) {
        UpdateBtn->setEnabled(true);
    }
}

// During a run the run's panel records the choice itself.
void TV62xFwTool::NVRAMCheckClick() {
    if (!running_) state_.id.IncludeNvram = NVRAMCheck->isChecked() ? 1 : 0;
}

void TV62xFwTool::FwSizeCheckChange() {
    if (running_) return;
    const int index = FwSizeCheck->currentIndex();
    if (index >= 0 && index < static_cast<int>(std::size(kFirmwareSizes))) {
        state_.flash.FirmwareSize = kFirmwareSizes[index];
    }
}

// Also the change handler of VR735Path, whose choice nothing reads.
void TV62xFwTool::FwPgSizeCheckChange() {
    if (running_) return;
    const int index = FwPgSizeCheck->currentIndex();
    const auto& choices = kPageSizeChoices;
    if (index >= 0 && index < static_cast<int>(choices.size())) {
        state_.flash.ProgramChunk = choices[static_cast<std::size_t>(index)];
    }
}

// --- Operator panel ------------------------------------------------------------------

bool TV62xFwTool::RdVersionChecked() const { return RdCheckBox->isChecked(); }
bool TV62xFwTool::EraseOnlyChecked() const { return EraseOnlyCheck->isChecked(); }
bool TV62xFwTool::BackupOnlyChecked() const { return BackupFWCheckBox->isChecked(); }
bool TV62xFwTool::IncludeNvramChecked() const { return NVRAMCheck->isChecked(); }
void TV62xFwTool::SetIncludeNvramChecked(bool checked) { NVRAMCheck->setChecked(checked); }
bool TV62xFwTool::A1ChipChecked() const { return A1ChipCheck->isChecked(); }
bool TV62xFwTool::CheckSumChecked() const { return ChkSumChk->isChecked(); }
std::string TV62xFwTool::FirmwareFileName() const { return FileSystemName(FwFilenameEdit->text()); }
std::string TV62xFwTool::BackupFileName() const { return FileSystemName(BackupFileEdit->text()); }

void TV62xFwTool::SetStatus(const std::string& text) { StatusEdit->SetFieldText(QString::fromStdString(text)); }

void TV62xFwTool::AppendStatusDot() { StatusEdit->setText(StatusEdit->text() + QLatin1Char('.')); }

std::string TV62xFwTool::Status() const { return StatusEdit->text().toStdString(); }

void TV62xFwTool::ProcessPendingEvents() { QCoreApplication::processEvents(); }

void TV62xFwTool::RepaintStatus() { StatusEdit->repaint(); }

bool TV62xFwTool::RunButtonEnabled() const { return UpdateBtn->isEnabled(); }

void TV62xFwTool::SetRunButtonEnabled(bool enabled) { UpdateBtn->setEnabled(enabled); }

void TV62xFwTool::SetProgress(std::uint64_t done, std::uint64_t planned) {
    if (planned == 0) return;
    const std::uint64_t step = std::min(done, planned) * kProgressSteps / planned;
    RunProgress->setValue(static_cast<int>(step));
}

void TV62xFwTool::ShowMessage(const std::string& title, const std::string& text) {
    messages_->Show(this, {title, text, title == "Error" ? MessageIcon::Error : MessageIcon::None});
}

}  // namespace v62x
