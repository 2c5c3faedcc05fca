// "Load File" and "Browse": the open dialog (scripted here) and what the
// choice does to the firmware file, the backup name and Run.
#include <QCoreApplication>

#include "window/WindowFixture.h"

namespace v62x::test {
namespace {

class WindowLoadFile : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        AddBridge(8, 1);
        Open();
    }
    void Load(const QString& answer) {
        files.answers.push_back(answer);
        QTest::mouseClick(Button("LoadBtn"), Qt::LeftButton);
    }
};

TEST_F(WindowLoadFile, DialogOffersTheImageFiltersFromTheProgramFolder) {
    Load(QString());
    ASSERT_EQ(1u, files.requests.size());
    const OpenFileRequest& request = files.requests[0];
    EXPECT_EQ(QCoreApplication::applicationDirPath(), request.initialDir);
    EXPECT_EQ(QStringList({"BinaryFile (*.bin)", "All Files (*)", "VRT Files (*.vrt)"}), request.filters);
    EXPECT_EQ("bin", request.defaultSuffix.toStdString());
}

TEST_F(WindowLoadFile, CancelChangesNothingButTheStatus) {
    const QString image = MatchingKind8Image();
    Edit("FwFilenameEdit")->setText(image);
    ASSERT_TRUE(RunEnabled());
    window->SetStatus("before");
    messages.shown.clear();
    Load(QString());
    EXPECT_EQ(image, Edit("FwFilenameEdit")->text());
    EXPECT_TRUE(RunEnabled());
    EXPECT_EQ("", window->Status()) << "the status is cleared before the dialog";
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(WindowLoadFile, MatchingFileEnablesRun) {
    const QString image = MatchingKind8Image();
    Load(image);
    EXPECT_EQ(image, Edit("FwFilenameEdit")->text());
    EXPECT_TRUE(RunEnabled());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(image.toStdString(), window->FirmwareFileName());
}

TEST_F(WindowLoadFile, MismatchingFileLeavesRunDisabledEachTimeItIsChosen) {
    const QString image = OtherChipImage();
    for (int time = 1; time <= 2; ++time) {
        SCOPED_TRACE(time);
        Load(image);
        EXPECT_EQ(image, Edit("FwFilenameEdit")->text());
        EXPECT_FALSE(RunEnabled());
        EXPECT_EQ(static_cast<std::size_t>(time), messages.shown.size()) << "the check ran on this choice";
        EXPECT_EQ("The firmware file seems not match this chip!", messages.shown.back().text);
    }
}

TEST_F(WindowLoadFile, MismatchingFileStaysRejectedUnderTheOptions) {
    Click(Box("RdCheckBox"));
    Click(Box("BackupFWCheckBox"));
    ASSERT_TRUE(RunEnabled());
    Load(OtherChipImage());
    EXPECT_FALSE(RunEnabled()) << "a file the check has just rejected never enables Run";
}

TEST_F(WindowLoadFile, ChecksumOptionRejectsAFileWithAWrongSum) {
    Click(Box("RdCheckBox"));
    Click(Box("ChkSumChk"));
    // Matches the chip, but its last byte is no sum of the others.
    Load(MatchingKind8Image());
    EXPECT_FALSE(RunEnabled());
    ASSERT_FALSE(messages.shown.empty());
    EXPECT_EQ("Message", messages.shown.back().title);
    EXPECT_EQ("Please check the firmware file with checksum!", messages.shown.back().text);
}

TEST_F(WindowLoadFile, BrowseNamesTheBackupFile) {
    Click(Box("RdCheckBox"));
    const QString backup = Missing("oldflash.bak");

    files.answers.push_back(QString());
    QTest::mouseClick(Button("BackupBtn"), Qt::LeftButton);
    EXPECT_EQ("", Edit("BackupFileEdit")->text().toStdString());

    files.answers.push_back(backup);
    QTest::mouseClick(Button("BackupBtn"), Qt::LeftButton);
    EXPECT_EQ(backup, Edit("BackupFileEdit")->text());
    EXPECT_FALSE(RunEnabled()) << "the name alone makes no run";

    Click(Box("BackupFWCheckBox"));
    Button("UpdateBtn")->setEnabled(false);
    files.answers.push_back(backup);
    QTest::mouseClick(Button("BackupBtn"), Qt::LeftButton);
    EXPECT_TRUE(RunEnabled());
    EXPECT_EQ(2u, files.requests.size() - 1) << "every Browse opens the dialog";
}

}  // namespace
}  // namespace v62x::test
