// The device list: the empty state, listed bridges, the refusal text, and
// the chip check's view applied to the controls.
#include "Fwupdate/DeviceRefresh.h"
#include "window/WindowFixture.h"

namespace v62x::test {
namespace {

const char* const kReadOnlyFields[] = {"ChipLabelEdit", "DiskLetterLable", "FwVerLableEdit",
                                       "SFlashTypeLable", "StatusEdit"};

class WindowRefresh : public WindowTest {
protected:
    void ExpectEmptyState() {
        QComboBox* list = List("DeviceList");
        ASSERT_EQ(1, list->count());
        EXPECT_EQ(kNoDeviceText, list->currentText().toStdString());
        EXPECT_FALSE(list->isEnabled());
        EXPECT_FALSE(RunEnabled());
        EXPECT_FALSE(List("FlashTypeList")->isEnabled());
        EXPECT_FALSE(Box("A1ChipCheck")->isEnabled());
        EXPECT_FALSE(Shown("NVRAMCheck"));
        EXPECT_FALSE(Shown("VRS735HDDFwChk"));
    }
};

TEST_F(WindowRefresh, NoDeviceShowsTheEmptyState) {
    Open();
    ExpectEmptyState();
    for (const char* field : kReadOnlyFields) EXPECT_EQ("", Edit(field)->text().toStdString()) << field;
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(WindowRefresh, StickThatIsNoBridgeGivesTheEmptyState) {
    host.AddDevice(StickConfig());
    Open();
    ExpectEmptyState();
    EXPECT_EQ("", Edit("ChipLabelEdit")->text().toStdString()) << "the stick is never identified";
}

TEST_F(WindowRefresh, UnpluggedBridgeClearsWhatItsCheckHadShown) {
    const std::string path = AddBridge(8, 1);
    Open();
    ASSERT_NE("", Edit("ChipLabelEdit")->text().toStdString());
    window->SetStatus("left from before");
    host.Unplug(path);
    window->RefreshBtnClick();
    ExpectEmptyState();
    for (const char* field : kReadOnlyFields) EXPECT_EQ("", Edit(field)->text().toStdString()) << field;
}

TEST_F(WindowRefresh, RefusedDeviceIsNamedInTheStatusField) {
    auto config = BridgeConfig(8, 1);
    config.permissionDenied = true;
    const std::string path = host.AddDevice(config).path();
    Open();
    ExpectEmptyState();
    EXPECT_EQ(PermissionRefusalText(path), Edit("StatusEdit")->text().toStdString());
    EXPECT_EQ(PermissionRefusalText(path), window->Status());
}

TEST_F(WindowRefresh, ListedBridgeIsSelectedAndChecked) {
    auto config = BridgeConfig(8, 2);
    config.vendor = "Velmora ";
    config.product = "USB2.0 Bridge   ";
    config.mountPoints = {"/media/op/DATA", "/media/op/BACKUP"};
    host.AddDevice(config);
    host.AddDevice(StickConfig());
    Open();

    QComboBox* list = List("DeviceList");
    ASSERT_EQ(1, list->count());
    EXPECT_EQ("<<USB>> Velmora USB2.0 Bridge   ", list->itemText(0).toStdString());
    EXPECT_EQ(0, list->currentIndex());
    EXPECT_TRUE(list->isEnabled());
    EXPECT_EQ("USB DISK", Find<QLabel>("diskLabel")->text().toStdString());
    EXPECT_EQ("VRB644/645 Series", Edit("ChipLabelEdit")->text().toStdString());
    EXPECT_EQ("/media/op/DATA /media/op/BACKUP", Edit("DiskLetterLable")->text().toStdString());
    // The long drive text is shown from its start and whole as a tooltip.
    EXPECT_EQ(0, Edit("DiskLetterLable")->cursorPosition());
    EXPECT_EQ(Edit("DiskLetterLable")->text(), Edit("DiskLetterLable")->toolTip());
    EXPECT_FALSE(RunEnabled()) << "no file, no option";
    // Kind 8 offers "Include 4K NVRAM", ticked from the start value of IncludeNvram.
    EXPECT_TRUE(Shown("NVRAMCheck"));
    EXPECT_TRUE(Box("NVRAMCheck")->isChecked());
    EXPECT_EQ(1, window->State().id.IncludeNvram);
}

TEST_F(WindowRefresh, LastListedBusNamesTheDiskLabel) {
    AddBridge(3, 1);
    AddBridge(7, 1, Bus::Ieee1394);
    Open();
    QComboBox* list = List("DeviceList");
    ASSERT_EQ(2, list->count());
    EXPECT_EQ(0, list->itemText(0).indexOf("<<USB>> "));
    EXPECT_EQ(0, list->itemText(1).indexOf("<<1394>> "));
    EXPECT_EQ("1394 DISK", Find<QLabel>("diskLabel")->text().toStdString());
    EXPECT_GE(Find<QLabel>("diskLabel")->width(), Find<QLabel>("diskLabel")->sizeHint().width());
}

TEST_F(WindowRefresh, ChoosingAnotherEntryChecksThatChip) {
    AddBridge(8, 1);
    AddBridge(2, 1);
    Open();
    ASSERT_EQ("VRB644/645 Series", Edit("ChipLabelEdit")->text().toStdString());
    List("DeviceList")->setCurrentIndex(1);
    EXPECT_EQ("VR40621 Series", Edit("ChipLabelEdit")->text().toStdString());
    EXPECT_EQ(2, window->State().id.ChipKind);
    EXPECT_TRUE(Shown("FlashTypeList"));
}

// What each class of chip shows, after the check has run on it.
struct ClassRow {
    int kind;
    int revision;
    bool flashType;       // SFlashTypeLable
    bool version;         // FwVerLableEdit
    bool flashTypeList;   // FlashTypeList and its label, enabled
    bool a1Chip;          // A1ChipCheck, enabled
    bool vrs735;          // VRS735HDDFwChk
    bool nvram;           // NVRAMCheck
    const char* chipLabel;
};

TEST_F(WindowRefresh, EachChipClassShowsItsControls) {
    const ClassRow rows[] = {
        {8, 1, true, true, false, false, true, true, "VRB644/645 Series"},
        {3, 1, true, true, false, false, false, false, "VR40622 Series"},
        {2, 1, false, true, true, true, false, false, "VR40621 Series"},
        {14, 1, false, true, false, false, false, false, "VRB705 Series"},
        {16, 0, false, false, false, false, false, false, "VR40622"},
    };
    for (const ClassRow& row : rows) {
        SCOPED_TRACE(row.kind);
        for (sim::VirtualDevice* device : host.Devices()) host.Unplug(device->path());
        AddBridge(row.kind, row.revision);
        if (!window) {
            Open();
        } else {
            window->RefreshBtnClick();
        }
        EXPECT_EQ(row.chipLabel, Edit("ChipLabelEdit")->text().toStdString());
        EXPECT_EQ(row.flashType, Shown("SFlashTypeLable"));
        EXPECT_EQ(row.flashType, !Find<QLabel>("SFlashTypeLableCaption")->isHidden()) << "caption follows";
        EXPECT_EQ(row.version, Shown("FwVerLableEdit"));
        EXPECT_EQ(row.flashTypeList, Shown("FlashTypeList"));
        EXPECT_EQ(row.flashTypeList, Shown("FlashTypeLabel"));
        if (row.flashTypeList) {
            EXPECT_TRUE(List("FlashTypeList")->isEnabled());
        }
        EXPECT_EQ(row.a1Chip, Shown("A1ChipCheck"));
        if (row.a1Chip) {
            EXPECT_TRUE(Box("A1ChipCheck")->isEnabled());
        }
        EXPECT_EQ(row.vrs735, Shown("VRS735HDDFwChk"));
        EXPECT_EQ(row.nvram, Shown("NVRAMCheck"));
        // The texts are the check's.
        const ChipView& view = window->LastChipView();
        EXPECT_EQ(view.status, Edit("StatusEdit")->text().toStdString());
        EXPECT_EQ(view.version, Edit("FwVerLableEdit")->text().toStdString());
        EXPECT_EQ(view.flashType, Edit("SFlashTypeLable")->text().toStdString());
    }
}

}  // namespace
}  // namespace v62x::test
