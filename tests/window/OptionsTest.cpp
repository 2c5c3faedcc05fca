// The engineering panel: its height, the option handlers and the flash
// settings they set.
#include "window/WindowFixture.h"

namespace v62x::test {
namespace {

class WindowOptions : public WindowTest {
protected:
    void OpenWith(int kind, int revision = 1) {
        AddBridge(kind, revision);
        Open();
        Click(Box("RdCheckBox"));
        ASSERT_TRUE(Shown("RdPanel"));
    }
};

TEST_F(WindowOptions, RdVersionAddsAndRemovesThePanelHeight) {
    Open();
    const int shortHeight = kWindowDesignHeight - kRdPanelHeight;
    ASSERT_EQ(shortHeight, window->height());
    ASSERT_FALSE(Shown("RdPanel"));
    for (int round = 0; round < 2; ++round) {
        Click(Box("RdCheckBox"));
        EXPECT_TRUE(Box("RdCheckBox")->isChecked());
        EXPECT_TRUE(Shown("RdPanel"));
        EXPECT_EQ(kWindowDesignHeight, window->height());
        EXPECT_EQ(window->minimumSize(), window->maximumSize()) << "still not resizable";
        Click(Box("RdCheckBox"));
        EXPECT_FALSE(Shown("RdPanel"));
        EXPECT_EQ(shortHeight, window->height());
    }
}

TEST_F(WindowOptions, PanelOffDisablesRunAndChecksAgain) {
    OpenWith(8);
    // Run enabled without a reason: switching the panel off withdraws it.
    Button("UpdateBtn")->setEnabled(true);
    Edit("ChipLabelEdit")->clear();
    Click(Box("RdCheckBox"));
    EXPECT_FALSE(RunEnabled());
    EXPECT_EQ("VRB644/645 Series", Edit("ChipLabelEdit")->text().toStdString()) << "the check ran again";

    // With a matching file the check that follows enables Run again.
    Edit("FwFilenameEdit")->setText(MatchingKind8Image());
    ASSERT_TRUE(RunEnabled());
    Click(Box("RdCheckBox"));
    Click(Box("RdCheckBox"));
    EXPECT_TRUE(RunEnabled());
}

TEST_F(WindowOptions, PanelOffKeepsTheOptionsButFreesTheFileField) {
    OpenWith(8);
    Click(Box("EraseOnlyCheck"));
    ASSERT_FALSE(Edit("FwFilenameEdit")->isEnabled());
    Click(Box("RdCheckBox"));
    EXPECT_TRUE(Box("EraseOnlyCheck")->isChecked());
    EXPECT_TRUE(Edit("FwFilenameEdit")->isEnabled());
    EXPECT_TRUE(RunEnabled()) << "erase only still applies to the listed bridge";
}

TEST_F(WindowOptions, EraseOnlyAndBackupOnlyExcludeEachOther) {
    OpenWith(8);
    QCheckBox* erase = Box("EraseOnlyCheck");
    QCheckBox* backup = Box("BackupFWCheckBox");

    Click(erase);
    EXPECT_TRUE(erase->isChecked());
    EXPECT_EQ(1, window->State().id.EraseOnlyFlag);
    EXPECT_FALSE(Edit("FwFilenameEdit")->isEnabled());
    EXPECT_TRUE(RunEnabled());

    Click(backup);
    EXPECT_TRUE(backup->isChecked());
    EXPECT_FALSE(erase->isChecked());
    EXPECT_EQ(0, window->State().id.EraseOnlyFlag);
    EXPECT_TRUE(Edit("FwFilenameEdit")->isEnabled());
    EXPECT_TRUE(RunEnabled()) << "backup only needs no firmware file";

    Click(erase);
    EXPECT_FALSE(backup->isChecked());
    // "VRS735 HDD FW " shares the handler with tag 0.
    Click(erase);
    Click(backup);
    ASSERT_TRUE(Shown("VRS735HDDFwChk"));
    Click(Box("VRS735HDDFwChk"));
    EXPECT_FALSE(backup->isChecked());

    Click(Box("VRS735HDDFwChk"));
    EXPECT_FALSE(erase->isChecked());
    EXPECT_FALSE(backup->isChecked());
    EXPECT_FALSE(RunEnabled()) << "no option and no file";
}

TEST_F(WindowOptions, WithoutOptionsRunFollowsTheFile) {
    OpenWith(8);
    const struct {
        const char* what;
        QString file;
        bool run;
    } rows[] = {
        {"matching image", MatchingKind8Image(), true},
        {"image of another chip", OtherChipImage(), false},
        {"no file", QString(), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Click(Box("EraseOnlyCheck"));
        {
            const QSignalBlocker quiet(Edit("FwFilenameEdit"));
            Edit("FwFilenameEdit")->setText(row.file);
        }
        messages.shown.clear();
        Click(Box("EraseOnlyCheck"));
        EXPECT_EQ(row.run, RunEnabled());
        EXPECT_TRUE(messages.shown.empty()) << "the option handler shows no mismatch message";
    }
}

TEST_F(WindowOptions, OptionsNeverEnableRunWithoutAListedBridge) {
    Open();
    Click(Box("RdCheckBox"));
    Click(Box("EraseOnlyCheck"));
    EXPECT_FALSE(RunEnabled());
    Click(Box("BackupFWCheckBox"));
    EXPECT_FALSE(RunEnabled());
}

TEST_F(WindowOptions, OnlyKind4OffersTheFirmwareSize) {
    const struct {
        int kind;
        const char* option;
        bool sizeList;
    } rows[] = {
        {4, "EraseOnlyCheck", true},
        {4, "BackupFWCheckBox", true},
        {8, "EraseOnlyCheck", false},
        {3, "BackupFWCheckBox", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.kind) + " " + row.option);
        window.reset();
        for (sim::VirtualDevice* device : host.Devices()) host.Unplug(device->path());
        OpenWith(row.kind);
        EXPECT_FALSE(Shown("FwSizeCheck"));
        Click(Box(row.option));
        EXPECT_EQ(row.sizeList, Shown("FwSizeCheck"));
        EXPECT_EQ(row.sizeList, List("FwSizeCheck")->isEnabled());
        EXPECT_EQ(row.sizeList, Shown("FwSizeLable"));
        Click(Box(row.option));
        EXPECT_FALSE(Shown("FwSizeCheck"));
        EXPECT_FALSE(Shown("FwSizeLable"));
    }
}

TEST_F(WindowOptions, FirmwareSizeFollowsTheList) {
    Open();
    EXPECT_EQ("32KB", List("FwSizeCheck")->currentText().toStdString());
    EXPECT_EQ(65536, window->State().flash.FirmwareSize) << "the start value, not the item shown";
    const int sizes[] = {32768, 65536, 131072, 262144, 524288, 1048576};
    for (int index : {2, 5, 0, 1, 4, 3}) {
        List("FwSizeCheck")->setCurrentIndex(index);
        EXPECT_EQ(sizes[index], window->State().flash.FirmwareSize) << index;
    }
}

TEST_F(WindowOptions, ProgramChunkFollowsThePageSizeList) {
    Open();
    EXPECT_EQ("16 KB", List("FwPgSizeCheck")->currentText().toStdString());
    EXPECT_EQ(8192, window->State().flash.ProgramChunk) << "the start value, not the item shown";
    const int chunks[] = {32768, 16384, 8192, 4096, 2048};
    for (int index : {0, 4, 2, 3, 1}) {
        List("FwPgSizeCheck")->setCurrentIndex(index);
        EXPECT_EQ(chunks[index], window->State().flash.ProgramChunk) << index;
    }
    // VR735Path runs the same handler, which reads only the page-size list.
    {
        const QSignalBlocker quiet(List("FwPgSizeCheck"));
        List("FwPgSizeCheck")->setCurrentIndex(3);
    }
    List("VR735Path")->setCurrentIndex(2);
    EXPECT_EQ(4096, window->State().flash.ProgramChunk);
}

TEST_F(WindowOptions, IncludeNvramFollowsItsBox) {
    OpenWith(8);
    QCheckBox* nvram = Box("NVRAMCheck");
    ASSERT_TRUE(nvram->isChecked());
    Click(nvram);
    EXPECT_EQ(0, window->State().id.IncludeNvram);
    EXPECT_FALSE(window->IncludeNvramChecked());
    // The next check restores the mark from the operator's choice.
    window->UpdateBtnCheck();
    EXPECT_FALSE(nvram->isChecked());
    // A procedure that ticks the box changes the choice too.
    window->SetIncludeNvramChecked(true);
    EXPECT_EQ(1, window->State().id.IncludeNvram);
}

TEST_F(WindowOptions, PanelBoxesAreWhatTheOperatorPanelReports) {
    OpenWith(2);
    OperatorPanel& panel = *window;
    EXPECT_TRUE(panel.RdVersionChecked());
    EXPECT_FALSE(panel.A1ChipChecked());
    Click(Box("A1ChipCheck"));
    Click(Box("ChkSumChk"));
    Click(Box("BackupFWCheckBox"));
    EXPECT_TRUE(panel.A1ChipChecked());
    EXPECT_TRUE(panel.CheckSumChecked());
    EXPECT_TRUE(panel.BackupOnlyChecked());
    EXPECT_FALSE(panel.EraseOnlyChecked());
    Edit("BackupFileEdit")->setText("/tmp/old flash.bak");
    EXPECT_EQ("/tmp/old flash.bak", panel.BackupFileName());
}

}  // namespace
}  // namespace v62x::test
