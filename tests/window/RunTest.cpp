// The whole job from the window: for each row of the Run dispatch a
// simulated bridge, the operator's steps (select, load or drop the image,
// tick the options, press Run), and the result on the bridge, in the backup
// file, in the status field and in the message boxes.
#include <QFileInfo>
#include <QMimeData>
#include <QProgressBar>
#include <QUrl>

#include <algorithm>
#include <filesystem>

#include "Fwupdate/DiskFirmwareUpdate.h"
#include "Fwupdate/RunDispatch.h"
#include "Fwupdate/Vrs735DiskFirmwareUpdate.h"
#include "VirtualBridge/DiskFirmwareArea.h"
#include "VirtualBridge/SimulationDescription.h"
#include "window/WindowFixture.h"

namespace v62x::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kStandardClosing = "Please Turn-Off the Power and Turn-On Again !";
constexpr std::size_t kProbeAt = 0x2000;  // a stretch of code no procedure rewrites
constexpr std::size_t kProbeLength = 0x1000;

Bytes Distinct(std::size_t length, unsigned seed) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * (5 + 2 * seed) + (i >> 8) * 17 + seed * 31) % 251 + 2);
    }
    return bytes;
}

void Put(Bytes& image, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<long>(at));
}

void PutTag(Bytes& image, std::size_t at, const char* text) {
    Put(image, at, {0x55, 0xAA, 0xAA, 0x55});
    std::copy(text, text + 4, image.begin() + static_cast<long>(at + 4));
}

// A firmware file the chip check accepts for the chip.
Bytes MatchingImage(int kind, int revision, std::size_t length) {
    Bytes image = Distinct(length, 1);
    const char digit = static_cast<char>('0' + revision - 1);
    switch (kind) {
        case 1: Put(image, 4, {0x5A, 0xA5, 0x0F, 0xF0}); break;
        case 2: case 20: Put(image, 4, {'V', 'R'}); break;
        case 4: { const char tag[] = {'6', '2', '4', digit, 0}; PutTag(image, 0, tag); break; }
        case 5: PutTag(image, 0, "6140"); break;
        // Kinds 6 and 11 as shipped: the 4 KiB NVRAM block in front of the code.
        case 6: { const char tag[] = {'6', '4', '1', digit, 0}; PutTag(image, 0x1000, tag); image[0x1008] = static_cast<std::uint8_t>(digit); break; }
        case 7: PutTag(image, 0, revision == 1 ? "v642" : "6421"); break;
        case 8: PutTag(image, 0, "6450"); break;
        case 10: Put(image, 0x80, {0xE9, 0xAC, 0x67, 0x00}); std::copy_n("6460", 4, image.begin() + 0x84); break;
        case 11: PutTag(image, 0x1000, "7514"); break;
        case 12: PutTag(image, 0xBFF0, "7351"); break;
        case 13: PutTag(image, 0x4000, "7150"); break;
        case 15: PutTag(image, 0x4000, "624E"); break;
        default: break;
    }
    return image;
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

enum class Store { Flash, DiskArea, Vrs735Area };
enum class Mode { Program, EraseOnly, BackupOnly };
enum class Give { Load, Drop };

struct Row {
    const char* what;
    const char* description;
    int kind;
    int revision;
    Store store;
    Mode mode;
    const char* status;        // the status field at the end
    const char* message;       // the one message box, or null
    std::size_t fileLength = 65536;
    int flashTypeIndex = 0;
    bool hddFw = false;
    Give give = Give::Load;
};

class WindowRun : public WindowTest {
protected:
    sim::VirtualDevice& AddDescribed(const std::string& description,
                                     const std::function<void(sim::DeviceConfig&)>& tweak = {}) {
        std::vector<sim::DeviceConfig> configs;
        std::string why;
        EXPECT_TRUE(sim::ParseSimulationDescription(description, configs, why)) << why;
        if (tweak) tweak(configs.at(0));
        return host.AddDevice(configs.at(0));
    }
    void Give(const QString& file, Give how) {
        if (how == Give::Load) {
            files.answers.push_back(file);
            QTest::mouseClick(Button("LoadBtn"), Qt::LeftButton);
            return;
        }
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(file)});
        const QPoint at(200, 150);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &enter);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window.get(), &drop);
    }
    // Ticks a box as the operator does; a box the window hides for the chip
    // is ticked through its click all the same (the row asks for it).
    void Tick(const char* name) {
        QCheckBox* box = Box(name);
        if (box->isVisible()) {
            Click(box);
        } else {
            box->click();
        }
    }
    QString WriteFile(const std::string& name, const Bytes& bytes) {
        const QString path = files_dir.filePath(QString::fromStdString(name));
        std::ofstream out(path.toStdString(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    void PressRun() {
        runEnabledWhileShowing.clear();
        messages.onShow = [this] { runEnabledWhileShowing.push_back(RunEnabled()); };
        QTest::mouseClick(Button("UpdateBtn"), Qt::LeftButton);
        window->WaitForRun();
        messages.onShow = nullptr;
    }

    // Where the row's firmware store is and how much of it to look at.
    std::uint64_t AreaStart(Store store, const std::string& path) {
        std::uint64_t start = 0;
        if (store == Store::DiskArea) {
            EXPECT_TRUE(DiskAreaStart(GatherDiskAreaGeometry(path, window->State().id.ChipKind), start));
        } else {
            bool ata = false;
            EXPECT_TRUE(Vrs735AreaStart(GatherVrs735DiskGeometry(path), start, ata));
        }
        return start;
    }
    Bytes StoreBytes(sim::VirtualDevice& device, Store store, std::uint64_t start) {
        if (store == Store::Flash) return *device.FlashContents();
        Bytes area(262144);
        EXPECT_TRUE(device.disk()->Read(start, area.size() / device.disk()->blockSize(), area.data()));
        return area;
    }
    void PutStore(sim::VirtualDevice& device, Store store, std::uint64_t start, const Bytes& bytes) {
        if (store == Store::Flash) {
            Bytes& flash = *device.FlashContents();
            std::copy(bytes.begin(), bytes.end(), flash.begin() + static_cast<long>(kProbeAt));
            return;
        }
        Bytes block(kProbeLength);
        std::copy(bytes.begin(), bytes.end(), block.begin());
        const std::uint32_t bs = device.disk()->blockSize();
        EXPECT_TRUE(device.disk()->Write(start + kProbeAt / bs, kProbeLength / bs, block.data()));
    }

    std::vector<bool> runEnabledWhileShowing;
};

TEST_F(WindowRun, EveryDispatchRowServesItsBridgeFromTheWindow) {
    const Row rows[] = {
        {"serial flash", "bridge:kind=8", 8, 1, Store::Flash, Mode::Program, "Programming Success!!", kPowerCycleText},
        {"serial flash, dropped", "bridge:kind=8", 8, 1, Store::Flash, Mode::Program, "Programming Success!!",
         kPowerCycleText, 65536, 0, false, Give::Drop},
        {"standard flash", "bridge:kind=4", 4, 1, Store::Flash, Mode::Program, "Programming Success!!", kStandardClosing},
        {"standard flash, kind 13", "bridge:kind=13", 13, 1, Store::Flash, Mode::Program, "Programming Success!!",
         kStandardClosing},
        {"standard flash, kind 1", "bridge:kind=1", 1, 1, Store::Flash, Mode::Program, "Programming Success!!",
         kStandardClosing},
        {"standard flash, kind 3", "bridge:kind=3", 3, 1, Store::Flash, Mode::Program, "Programming Success!!",
         kStandardClosing},
        {"kind 15 with flash", "bridge:kind=15", 15, 1, Store::Flash, Mode::Program, "Programming Success!!",
         kStandardClosing},
        {"kind 10 with SST flash: full image", "bridge:kind=10,flash=SST25VF016B", 10, 1, Store::Flash, Mode::Program,
         "Programming Success!!", kPowerCycleText},
        {"kind 7 on USB", "bridge:kind=7,rev=1,bus=usb", 7, 1, Store::Flash, Mode::Program, "Programming Success!!",
         kStandardClosing},
        {"kind 7 on IEEE 1394", "bridge:kind=7,rev=1,bus=1394", 7, 1, Store::Flash, Mode::Program,
         "Programming Success!!", kPowerCycleText},
        {"NVRAM kept", "bridge:kind=6", 6, 1, Store::Flash, Mode::Program, "Programming Success!!", kPowerCycleText},
        {"kind 10", "bridge:kind=10", 10, 1, Store::Flash, Mode::Program, "Programming Success!!", kPowerCycleText},
        {"kind 11 rev 4 not in flash mode", "bridge:kind=11,rev=4", 11, 4, Store::Flash, Mode::Program,
         "Programming Success!!", kPowerCycleText},
        {"kind 11 rev 5", "bridge:kind=11,rev=5", 11, 5, Store::Flash, Mode::Program, "Programming Success!!",
         kPowerCycleText},
        {"two banks", "bridge:kind=12", 12, 1, Store::Flash, Mode::Program, "Programming Success!!", kAutoResetText},
        {"kind 12 with VRS735 HDD FW ticked", "bridge:kind=12", 12, 1, Store::Vrs735Area, Mode::Program,
         "Programming Success!!", kAutoResetText, 65536, 0, true},
        {"kind 12 without flash", "bridge:kind=12,hddfw=1,flash=none", 12, 1, Store::Vrs735Area, Mode::Program,
         "Programming Success!!", kAutoResetText},
        {"kind 15 without flash", "bridge:kind=15,hddfw=1,flash=none", 15, 1, Store::DiskArea, Mode::Program,
         "Programming Success!!", kPowerCycleText, 100000},
        {"kind 5 on the disk", "bridge:kind=5", 5, 1, Store::DiskArea, Mode::Program, "Programming Success!!",
         kPowerCycleText, 100000},
        {"parallel AT49BV512", "bridge:kind=2,flash=AT49BV512", 2, 1, Store::Flash, Mode::Program,
         "Programming & Compare Success!!", kPowerCycleText, 65536, 0},
        {"parallel Pm39LV512", "bridge:kind=2,flash=Pm39LV512", 2, 1, Store::Flash, Mode::Program,
         "Programming & Compare Success!!", kPowerCycleText, 65536, 1},
        {"parallel SST39LF512", "bridge:kind=20,flash=SST39LF512", 20, 0, Store::Flash, Mode::Program,
         "Programming & Compare Success!!", kPowerCycleText, 65536, 2},
        {"erase serial flash", "bridge:kind=8", 8, 1, Store::Flash, Mode::EraseOnly, "Erase flash all success!",
         kPowerCycleText},
        {"erase kind 14 disk area", "bridge:kind=14", 14, 0, Store::DiskArea, Mode::EraseOnly,
         "Erase all data in HDD success!!", kPowerCycleText},
        {"erase 735 disk area", "bridge:kind=12,hddfw=1,flash=none", 12, 1, Store::Vrs735Area, Mode::EraseOnly,
         "Erase all data in HDD success!!", kAutoResetText},
        {"back up standard flash", "bridge:kind=4", 4, 1, Store::Flash, Mode::BackupOnly,
         "Read flash and backup success!", nullptr},
        {"back up kind 14 disk area", "bridge:kind=14", 14, 0, Store::DiskArea, Mode::BackupOnly,
         "Read flash and backup success!", nullptr},
        {"back up 735 disk area", "bridge:kind=12,hddfw=1,flash=none", 12, 1, Store::Vrs735Area, Mode::BackupOnly,
         "Read flash and backup success!", nullptr},
        {"back up parallel flash", "bridge:kind=2", 2, 1, Store::Flash, Mode::BackupOnly,
         "Read flash and backup success!", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // Each row starts a fresh window on its own bridge, the earlier
        // ones unplugged.
        messages.shown.clear();
        sim::VirtualDevice& device = AddDescribed(row.description);
        Open();
        ASSERT_EQ(1, List("DeviceList")->count());
        ASSERT_EQ(row.kind, window->State().id.ChipKind);

        const Bytes image = MatchingImage(row.kind, row.revision, row.fileLength);
        const QString backupFile = files_dir.filePath("backup.bin");
        QFile::remove(backupFile);
        if (row.mode != Mode::Program || row.hddFw || row.flashTypeIndex != 0) Click(Box("RdCheckBox"));
        if (row.flashTypeIndex != 0) List("FlashTypeList")->setCurrentIndex(row.flashTypeIndex);
        if (row.hddFw) Tick("VRS735HDDFwChk");
        if (row.mode == Mode::EraseOnly) Tick("EraseOnlyCheck");
        if (row.mode == Mode::BackupOnly) {
            Tick("BackupFWCheckBox");
            Edit("BackupFileEdit")->setText(backupFile);
        }
        if (row.mode == Mode::Program) Give(WriteFile("fw.bin", image), row.give);
        ASSERT_TRUE(RunEnabled()) << window->Status();
        messages.shown.clear();

        // The store holds old code where the file's probe stretch goes.
        const std::string path = device.path();
        const std::uint64_t start = row.store == Store::Flash ? 0 : AreaStart(row.store, path);
        const Bytes old = Distinct(kProbeLength, 7);
        PutStore(device, row.store, start, old);
        host.ClearLog();

        PressRun();
        EXPECT_EQ(row.status, window->Status());
        if (row.message != nullptr) {
            ASSERT_EQ(1u, messages.shown.size());
            EXPECT_EQ("Message", messages.shown[0].title);
            EXPECT_EQ(row.message, messages.shown[0].text);
            EXPECT_EQ(std::vector<bool>{false}, runEnabledWhileShowing) << "Run is disabled while it works";
        } else {
            EXPECT_TRUE(messages.shown.empty());
        }
        EXPECT_TRUE(RunEnabled()) << "Run is enabled again after the run";

        const Bytes after = StoreBytes(device, row.store, start);
        const Bytes probe(image.begin() + kProbeAt, image.begin() + kProbeAt + kProbeLength);
        switch (row.mode) {
            case Mode::Program:
                EXPECT_TRUE(Contains(after, probe)) << "the file's code is in the store";
                EXPECT_FALSE(Contains(after, old));
                break;
            case Mode::EraseOnly: {
                const std::uint8_t blank = row.store == Store::Flash ? 0xFF : 0x00;
                EXPECT_TRUE(std::all_of(after.begin() + kProbeAt, after.begin() + kProbeAt + kProbeLength,
                                        [&](std::uint8_t b) { return b == blank; }));
                break;
            }
            case Mode::BackupOnly: {
                const Bytes saved = [&] {
                    std::ifstream in(backupFile.toStdString(), std::ios::binary);
                    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                }();
                EXPECT_TRUE(Contains(saved, old)) << "the backup holds the store's bytes";
                EXPECT_TRUE(Contains(after, old)) << "a backup changes nothing";
                break;
            }
        }
        window.reset();
        host.Unplug(path);
    }
}

TEST_F(WindowRun, NoInjectedFailureEndsWithASuccessTextOrMessage) {
    struct FailureRow {
        const char* what;
        const char* description;
        int kind;
        int revision;
        Mode mode;
        sim::FaultRule fault;
        const char* status;  // the expected failure text, or null for any
        bool hddFw = false;
    };
    const sim::FaultRule anyWrite{"", {}, 0, sim::FaultKind::CheckCondition, 5, 0x20, 0, DataDirection::Out};
    const FailureRow rows[] = {
        {"serial flash", "bridge:kind=8", 8, 1, Mode::Program, anyWrite, nullptr},
        {"standard flash", "bridge:kind=4", 4, 1, Mode::Program, anyWrite, nullptr},
        {"NVRAM kept", "bridge:kind=6", 6, 1, Mode::Program, anyWrite, nullptr},
        {"two banks", "bridge:kind=12", 12, 1, Mode::Program, anyWrite, nullptr},
        {"parallel flash", "bridge:kind=2", 2, 1, Mode::Program, anyWrite, nullptr},
        {"disk area", "bridge:kind=5", 5, 1, Mode::Program, {"", {0x2A}, 0, sim::FaultKind::CheckCondition},
         "Write Data To HDD FAIL!!"},
        {"disk area erase", "bridge:kind=14", 14, 0, Mode::EraseOnly,
         {"", {0x2A}, 0, sim::FaultKind::CheckCondition}, "Write Data To HDD FAIL!!"},
        {"735 disk area", "bridge:kind=12", 12, 1, Mode::Program, anyWrite, "Write Data SCSI16 To HDD FAIL!!", true},
        {"735 disk area erase", "bridge:kind=12,hddfw=1,flash=none", 12, 1, Mode::EraseOnly, anyWrite,
         "Erase data in HDD fail!!"},
        {"735 backup", "bridge:kind=12,hddfw=1,flash=none", 12, 1, Mode::BackupOnly,
         {"", {0x85}, 0, sim::FaultKind::CheckCondition}, "Read Back to Backup Error!!"},
    };
    const std::vector<std::string> successes = {"Programming Success!!", "Programming & Compare Success!!",
                                                "Erase flash all success!", "Erase all data in HDD success!!",
                                                "Erase All success!!", "Read flash and backup success!"};
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.what);
        sim::VirtualDevice& device = AddDescribed(row.description);
        Open();
        ASSERT_EQ(row.kind, window->State().id.ChipKind);
        if (row.mode != Mode::Program || row.hddFw) Click(Box("RdCheckBox"));
        if (row.hddFw) Tick("VRS735HDDFwChk");
        if (row.mode == Mode::EraseOnly) Tick("EraseOnlyCheck");
        if (row.mode == Mode::BackupOnly) {
            Tick("BackupFWCheckBox");
            Edit("BackupFileEdit")->setText(files_dir.filePath("failed.bak"));
        }
        if (row.mode == Mode::Program) Give(WriteFile("fw.bin", MatchingImage(row.kind, row.revision, 65536)), Give::Load);
        ASSERT_TRUE(RunEnabled());
        messages.shown.clear();
        host.AddFault(row.fault);

        PressRun();
        const std::string status = window->Status();
        if (row.status != nullptr) {
            EXPECT_EQ(row.status, status);
        }
        EXPECT_EQ(successes.end(), std::find(successes.begin(), successes.end(), status)) << status;
        for (const OperatorMessage& m : messages.shown) {
            EXPECT_NE(kPowerCycleText, m.text);
            EXPECT_NE(kStandardClosing, m.text);
            EXPECT_NE(kAutoResetText, m.text);
        }
        EXPECT_FALSE(QFile::exists(files_dir.filePath("failed.bak")));
        EXPECT_TRUE(RunEnabled());
        host.ClearFaults();
        window.reset();
        host.Unplug(device.path());
    }
}

TEST_F(WindowRun, ARefreshThatComesDueDuringARunWaitsForItsEnd) {
    AddDescribed("bridge:kind=14");
    Open();
    Click(Box("RdCheckBox"));
    Tick("BackupFWCheckBox");
    Edit("BackupFileEdit")->setText(files_dir.filePath("area.bak"));
    int listedDuringRun = -1;
    std::uint8_t kindDuringRun = 0;
    messages.onShow = [&] {
        // Another enclosure arrives while the backup works, and the refresh
        // timer expires.
        host.AddDevice(BridgeConfig(8, 1));
        window->RefreshBtnClick();
        listedDuringRun = List("DeviceList")->count();
        kindDuringRun = window->State().id.ChipKind;
    };
    // The default backup name brings up a message during the run.
    Edit("BackupFileEdit")->clear();
    const std::filesystem::path was = std::filesystem::current_path();
    std::filesystem::current_path(files_dir.path().toStdString());
    QTest::mouseClick(Button("UpdateBtn"), Qt::LeftButton);
    window->WaitForRun();
    std::filesystem::current_path(was);
    messages.onShow = nullptr;
    EXPECT_EQ(1, listedDuringRun) << "no refresh while the procedure works";
    EXPECT_EQ(14, kindDuringRun) << "the identification stays that of the run";
    EXPECT_EQ(65536, QFileInfo(files_dir.filePath("oldFlash.bak")).size()) << "the backup was written";
    EXPECT_EQ(2, List("DeviceList")->count()) << "the refresh follows the run";
}

// A run works on its own thread: the window keeps handling its events, and
// nothing the operator does meanwhile reaches the run.
const char* const kHeldDuringRun[] = {"UpdateBtn",      "DeviceList",       "FwFilenameEdit", "LoadBtn",
                                      "RdCheckBox",     "FlashTypeList",    "VRS735HDDFwChk", "A1ChipCheck",
                                      "ChkSumChk",      "VR735Path",        "EraseOnlyCheck", "NVRAMCheck",
                                      "BackupFWCheckBox", "BackupBtn",      "FwSizeCheck",    "BackupFileEdit"};

TEST_F(WindowRun, DuringARunTheControlsAreHeldAndWhatTheOperatorDoesWaitsForItsEnd) {
    sim::VirtualDevice& device = AddDescribed("bridge:kind=8");
    Open();
    Click(Box("RdCheckBox"));
    const Bytes image = MatchingImage(8, 1, 65536);
    Give(WriteFile("fw.bin", image), Give::Load);
    ASSERT_TRUE(RunEnabled());
    std::vector<bool> before;
    for (const char* name : kHeldDuringRun) before.push_back(Find<QWidget>(name)->isEnabled());
    const QString other = WriteFile("other.bin", MatchingImage(11, 5, 65536));

    std::vector<std::string> enabledDuringRun;
    int listedDuringRun = -1;
    std::uint8_t kindDuringRun = 0;
    messages.onShow = [&] {
        // The run waits for this box on its thread; the window is free.
        if (!window->Running() || listedDuringRun >= 0) return;
        for (const char* name : kHeldDuringRun) {
            if (Find<QWidget>(name)->isEnabled()) enabledDuringRun.push_back(name);
        }
        host.AddDevice(BridgeConfig(11, 5));
        window->RefreshBtnClick();  // the refresh timer expires
        QCoreApplication::processEvents();
        listedDuringRun = List("DeviceList")->count();
        kindDuringRun = window->State().id.ChipKind;
    };
    QTest::mouseClick(Button("UpdateBtn"), Qt::LeftButton);
    ASSERT_TRUE(window->Running());
    // A drop and a typed name while the run works.
    Give(other, Give::Drop);
    EXPECT_EQ(QFileInfo(files_dir.filePath("fw.bin")).absoluteFilePath(),
              QFileInfo(Edit("FwFilenameEdit")->text()).absoluteFilePath())
        << "the drop is ignored";
    Edit("FwFilenameEdit")->setText(other);
    EXPECT_EQ(8, window->State().id.ChipKind);
    EXPECT_EQ(image, window->State().firmware.bytes) << "the run's firmware stays";
    window->WaitForRun();
    messages.onShow = nullptr;

    EXPECT_TRUE(enabledDuringRun.empty()) << enabledDuringRun.front();
    EXPECT_EQ(1, listedDuringRun) << "no refresh while the procedure works";
    EXPECT_EQ(8, kindDuringRun);
    const std::vector<std::string> texts = messages.Texts();
    EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), kPowerCycleText));
    EXPECT_EQ(image, Bytes(device.FlashContents()->begin(), device.FlashContents()->begin() + 65536))
        << "the file the run started with is programmed";
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ("The firmware file seems not match this chip!", texts.back()) << "the typed name is checked after";
    const auto* progress = Find<QProgressBar>("RunProgress");
    EXPECT_EQ(progress->maximum(), progress->value());
    EXPECT_EQ(2, List("DeviceList")->count()) << "the refresh follows the run";
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (std::string(kHeldDuringRun[i]) == "UpdateBtn") continue;
        EXPECT_EQ(before[i], Find<QWidget>(kHeldDuringRun[i])->isEnabled()) << kHeldDuringRun[i];
    }
}

TEST_F(WindowRun, ClosingDuringARunAsksAndByDefaultKeepsItRunning) {
    sim::VirtualDevice& device = AddDescribed("bridge:kind=8");
    Open();
    const Bytes image = MatchingImage(8, 1, 65536);
    Give(WriteFile("fw.bin", image), Give::Load);
    ASSERT_TRUE(RunEnabled());

    QTest::mouseClick(Button("UpdateBtn"), Qt::LeftButton);
    window->close();  // the close button
    ASSERT_EQ(1u, questions.asked.size());
    EXPECT_EQ(QString(kStopRunQuestion), questions.asked[0]);
    window->WaitForRun();
    EXPECT_TRUE(window->isVisible()) << "kept running, and open after it";
    EXPECT_TRUE(RunEnabled());

    // Quitting closes the window once the running step is over.
    questions.quit = true;
    QTest::mouseClick(Button("UpdateBtn"), Qt::LeftButton);
    ASSERT_TRUE(window->Running());
    QTest::mouseClick(Button("ExitBtn"), Qt::LeftButton);
    EXPECT_EQ(2u, questions.asked.size());
    EXPECT_TRUE(window->isVisible());
    window->WaitForRun();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(kPowerCycleText, messages.shown.back().text) << "the run ended as usual";
    EXPECT_EQ(image, Bytes(device.FlashContents()->begin(), device.FlashContents()->begin() + 65536));
}

TEST_F(WindowRun, ADiskIndicatorBelowD0StartsNothing) {
    AddDescribed("bridge:kind=5,hddfw=0", [](sim::DeviceConfig& config) {
        sim::SetStatusByte(config.answers, sim::status_byte::kDiskFirmware, 0xCF);
    });
    Open();
    ASSERT_EQ(0xCF, window->State().id.HddFwIndicator);
    Give(WriteFile("fw.bin", MatchingImage(5, 1, 65536)), Give::Load);
    host.ClearLog();
    window->UpdateBtnClick();
    window->WaitForRun();
    EXPECT_TRUE(RunEnabled()) << "disabled for the press and enabled again";
    EXPECT_TRUE(messages.shown.empty() || messages.shown.back().text != kPowerCycleText);
    for (const sim::LogEntry& e : host.Log()) {
        EXPECT_FALSE(e.direction == DataDirection::Out && e.length > 0) << "nothing is written";
    }
}

TEST_F(WindowRun, AKind10FileOneByteTooLongShowsTheSizeMessageAndKeepsRunDisabled) {
    sim::VirtualDevice& device = AddDescribed("bridge:kind=10");
    Open();
    const std::size_t flashBytes = static_cast<std::size_t>(window->State().id.FlashSizeKB) * 1024;
    ASSERT_GT(flashBytes, 0u);
    const Bytes before = *device.FlashContents();
    Give(WriteFile("big.bin", MatchingImage(10, 1, flashBytes + 1)), Give::Load);
    ASSERT_TRUE(RunEnabled()) << "the chip check accepts the file by its tag";
    messages.shown.clear();
    PressRun();
    ASSERT_EQ(1u, messages.shown.size());
    EXPECT_EQ("Message", messages.shown[0].title);
    EXPECT_EQ(kFileBiggerThanFlashText, messages.shown[0].text);
    EXPECT_FALSE(RunEnabled()) << "Run stays disabled until the state is checked again";
    EXPECT_EQ(before, *device.FlashContents());

    // Choosing the file again checks the window state again.
    Give(WriteFile("big.bin", MatchingImage(10, 1, flashBytes + 1)), Give::Load);
    EXPECT_TRUE(RunEnabled());
}

}  // namespace
}  // namespace v62x::test
