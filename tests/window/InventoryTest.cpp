// The control inventory of the main window as it stands after construction
// with no device attached.
#include <QFrame>
#include <QWindow>

#include "window/WindowFixture.h"

namespace v62x::test {
namespace {

enum class Kind { Edit, ReadOnlyEdit, Label, List, CheckBox, Button, Frame };

struct ControlRow {
    const char* name;
    Kind kind;
    const char* parent;
    QRect geometry;
    const char* caption;  // text, caption label of an edit, or nullptr
    bool shown;           // not hidden after construction
    bool enabled;
};

// Start states after construction with no device: the empty state has
// disabled FlashTypeList and A1ChipCheck and hidden NVRAMCheck and
// VRS735HDDFwChk; the panel handler has hidden FwSizeCheck and FwSizeLable.
const ControlRow kControls[] = {
    {"ChipLabelEdit", Kind::ReadOnlyEdit, "V62xFwTool", {80, 12, 129, 21}, "Chip ", true, true},
    {"RefreshBtn", Kind::Button, "V62xFwTool", {240, 8, 91, 25}, "Refresh Device", false, true},
    {"diskLabel", Kind::Label, "V62xFwTool", {24, 44, 46, 13}, "USB Disk", true, true},
    {"DeviceList", Kind::List, "V62xFwTool", {80, 40, 249, 21}, nullptr, true, false},
    {"FwFilenameEdit", Kind::Edit, "V62xFwTool", {80, 70, 249, 21}, "Firmware File ", true, true},
    {"LoadBtn", Kind::Button, "V62xFwTool", {256, 96, 75, 25}, "Load File", true, true},
    {"DiskLetterLable", Kind::ReadOnlyEdit, "V62xFwTool", {80, 100, 113, 21}, "Drives ", true, true},
    {"FwVerLableEdit", Kind::ReadOnlyEdit, "V62xFwTool", {80, 124, 113, 21}, "Firmware Ver. ", true, true},
    {"SFlashTypeLable", Kind::ReadOnlyEdit, "V62xFwTool", {80, 148, 113, 21}, "Flash Type", true, true},
    {"FwPgBurnSizeLabel", Kind::Label, "V62xFwTool", {24, 175, 53, 13}, "Flash PgSz", false, true},
    {"FwPgSizeCheck", Kind::List, "V62xFwTool", {80, 172, 89, 21}, nullptr, false, true},
    {"FlashTypeLabel", Kind::Label, "V62xFwTool", {24, 196, 55, 13}, "Flash Type ", true, true},
    {"FlashTypeList", Kind::List, "V62xFwTool", {80, 196, 145, 21}, nullptr, true, false},
    {"StatusEdit", Kind::ReadOnlyEdit, "V62xFwTool", {80, 220, 249, 21}, "Status ", true, true},
    {"UpdateBtn", Kind::Button, "V62xFwTool", {96, 256, 75, 25}, "Run", true, false},
    {"ExitBtn", Kind::Button, "V62xFwTool", {216, 256, 75, 25}, "Exit", true, true},
    {"RdCheckBox", Kind::CheckBox, "V62xFwTool", {8, 264, 81, 17}, "RD Version", true, true},
    {"Panel1", Kind::Frame, "V62xFwTool", {8, 289, 337, 3}, nullptr, true, true},
    {"RdPanel", Kind::Frame, "V62xFwTool", {0, 296, 345, 129}, nullptr, false, true},
    {"VRS735HDDFwChk", Kind::CheckBox, "RdPanel", {8, 7, 113, 17}, "VRS735 HDD FW ", false, true},
    {"A1ChipCheck", Kind::CheckBox, "RdPanel", {8, 8, 65, 17}, "A1 Chip", true, false},
    {"ChkSumChk", Kind::CheckBox, "RdPanel", {128, 8, 113, 17}, "Check CheckSum", true, true},
    {"VR735Path", Kind::List, "RdPanel", {240, 4, 97, 21}, nullptr, false, true},
    {"EraseOnlyCheck", Kind::CheckBox, "RdPanel", {8, 28, 121, 17}, "Erase All Flash Only ", true, true},
    {"NVRAMCheck", Kind::CheckBox, "RdPanel", {128, 28, 113, 17}, "Include 4K NVRAM", false, true},
    {"BackupFWCheckBox", Kind::CheckBox, "RdPanel", {8, 48, 153, 17}, "Backup Old Firmware Only", true, true},
    {"BackupBtn", Kind::Button, "RdPanel", {256, 61, 75, 25}, "Browse", true, true},
    {"FwSizeCheck", Kind::List, "RdPanel", {8, 72, 65, 24}, nullptr, false, true},
    {"FwSizeLable", Kind::Label, "RdPanel", {75, 75, 63, 13}, "Firmware size", false, true},
    {"BackupFileEdit", Kind::Edit, "RdPanel", {115, 96, 214, 21}, "Backup FileName ", true, true},
};

class WindowInventory : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Open();
    }
};

TEST_F(WindowInventory, EveryControlHasItsKindPlaceCaptionAndStartState) {
    for (const ControlRow& row : kControls) {
        SCOPED_TRACE(row.name);
        QWidget* widget = Find<QWidget>(row.name);
        ASSERT_NE(nullptr, widget);
        EXPECT_EQ(row.parent, widget->parentWidget()->objectName().toStdString());
        EXPECT_EQ(row.shown, !widget->isHidden());
        EXPECT_EQ(row.enabled, widget->isEnabled());

        QString caption;
        switch (row.kind) {
            case Kind::Edit:
            case Kind::ReadOnlyEdit: {
                auto* edit = qobject_cast<QLineEdit*>(widget);
                ASSERT_NE(nullptr, edit);
                EXPECT_EQ(row.kind == Kind::ReadOnlyEdit, edit->isReadOnly());
                EXPECT_EQ(row.geometry, widget->geometry());
                auto* label = qobject_cast<QLabel*>(edit->parentWidget()->findChild<QLabel*>(
                    QString(row.name) + "Caption"));
                ASSERT_NE(nullptr, label);
                EXPECT_EQ(edit, label->buddy());
                caption = label->text();
                // The caption sits left of its edit, whole, inside the window.
                EXPECT_LE(label->geometry().right(), row.geometry.left() - 1);
                EXPECT_GE(label->x(), 0);
                EXPECT_GE(label->width(), label->sizeHint().width());
                EXPECT_EQ(row.shown, !label->isHidden());
                break;
            }
            case Kind::Label: {
                auto* label = qobject_cast<QLabel*>(widget);
                ASSERT_NE(nullptr, label);
                caption = label->text();
                // Labels grow to their caption, from their design corner.
                EXPECT_EQ(row.geometry.topLeft(), widget->pos());
                EXPECT_GE(widget->width(), std::max(row.geometry.width(), label->sizeHint().width()));
                break;
            }
            case Kind::List:
                ASSERT_NE(nullptr, qobject_cast<QComboBox*>(widget));
                EXPECT_EQ(row.geometry, widget->geometry());
                break;
            case Kind::CheckBox: {
                auto* box = qobject_cast<QCheckBox*>(widget);
                ASSERT_NE(nullptr, box);
                EXPECT_FALSE(box->isChecked());
                caption = box->text();
                EXPECT_EQ(row.geometry, widget->geometry());
                break;
            }
            case Kind::Button: {
                auto* button = qobject_cast<QPushButton*>(widget);
                ASSERT_NE(nullptr, button);
                caption = button->text();
                EXPECT_EQ(row.geometry, widget->geometry());
                break;
            }
            case Kind::Frame:
                ASSERT_NE(nullptr, qobject_cast<QFrame*>(widget));
                EXPECT_EQ(row.geometry, widget->geometry());
                break;
        }
        if (row.caption != nullptr) {
            EXPECT_EQ(row.caption, caption.toStdString());
        }
    }
}

struct ListRow {
    const char* name;
    std::vector<std::string> items;
    int selected;
};

TEST_F(WindowInventory, ListsHoldTheirItemsWithTheDesignSelection) {
    const ListRow rows[] = {
        {"DeviceList", {kNoDeviceText}, 0},
        {"FwPgSizeCheck", {"32 KB", "16 KB", " 8 KB", " 4 KB", " 2 KB"}, 1},
        {"FlashTypeList", {"ATMELAT 49BV512", "PMC OM39LV512", "SST SST39LF512"}, 0},
        {"VR735Path", {"1.SETNVRAM", "2.FLASHREAD", "3.FLASHOPCODE"}, 0},
        {"FwSizeCheck", {"32KB", "64KB", "128KB", "256KB", "512KB", "   1MB"}, 0},
    };
    for (const ListRow& row : rows) {
        SCOPED_TRACE(row.name);
        QComboBox* list = List(row.name);
        ASSERT_NE(nullptr, list);
        std::vector<std::string> items;
        for (int i = 0; i < list->count(); ++i) items.push_back(list->itemText(i).toStdString());
        EXPECT_EQ(row.items, items);
        EXPECT_EQ(row.selected, list->currentIndex());
    }
}

TEST_F(WindowInventory, SimulatedBridgesAreMarkedInCaptionAndWindow) {
    EXPECT_EQ(nullptr, window->findChild<QLabel*>("SimulatedLabel")) << "a real host shows no mark";
    window->MarkSimulated();
    window->MarkSimulated();
    EXPECT_EQ(" VR4062x FW Update Utility v1.17.08 [simulated]", window->windowTitle().toStdString());
    const QLabel* mark = window->findChild<QLabel*>("SimulatedLabel");
    ASSERT_NE(nullptr, mark);
    EXPECT_TRUE(mark->isVisible());
    EXPECT_EQ("SIMULATED", mark->text().toStdString());
}

TEST_F(WindowInventory, WindowIsFixedWithoutMaximizeAndShorterByThePanel) {
    EXPECT_EQ("V62xFwTool", window->objectName().toStdString());
    EXPECT_EQ(" VR4062x FW Update Utility v1.17.08", window->windowTitle().toStdString());
    EXPECT_EQ(QSize(kWindowWidth, kWindowDesignHeight - kRdPanelHeight), window->size());
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(QPoint(413, 199), window->pos());
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_FALSE(window->windowIcon().isNull());
    EXPECT_TRUE(window->acceptDrops());
}

TEST_F(WindowInventory, RuleIsNavyAndBoxesCarryTheirTags) {
    QWidget* rule = Find<QWidget>("Panel1");
    ASSERT_NE(nullptr, rule);
    EXPECT_TRUE(rule->autoFillBackground());
    EXPECT_EQ(QColor(0, 0, 128), rule->palette().color(QPalette::Window));
    EXPECT_EQ(QColor(0, 0, 128), rule->grab().toImage().pixelColor(rule->width() / 2, 1));

    EXPECT_EQ(0, Box("EraseOnlyCheck")->property("tag").toInt());
    EXPECT_EQ(0, Box("VRS735HDDFwChk")->property("tag").toInt());
    EXPECT_EQ(1, Box("BackupFWCheckBox")->property("tag").toInt());
    EXPECT_GT(List("FwSizeCheck")->font().pixelSize(), window->font().pixelSize())
        << "the firmware-size list has the larger face";
}

TEST_F(WindowInventory, TabOrderRunsThroughTheWindowThenThePanel) {
    const std::vector<std::string> expected = {
        "ChipLabelEdit", "RefreshBtn",       "FwFilenameEdit",  "LoadBtn",        "DeviceList",
        "DiskLetterLable", "FwVerLableEdit", "SFlashTypeLable", "FlashTypeList",  "StatusEdit",
        "RdCheckBox",    "ExitBtn",          "UpdateBtn",       "FwPgSizeCheck",  "BackupFWCheckBox",
        "EraseOnlyCheck", "BackupFileEdit",  "BackupBtn",       "A1ChipCheck",    "NVRAMCheck",
        "FwSizeCheck",   "ChkSumChk",        "VR735Path",       "VRS735HDDFwChk"};
    std::vector<std::string> chain;
    QWidget* start = Find<QWidget>("ChipLabelEdit");
    QWidget* widget = start;
    do {
        const std::string name = widget->objectName().toStdString();
        if (std::find(expected.begin(), expected.end(), name) != expected.end()) chain.push_back(name);
        widget = widget->nextInFocusChain();
    } while (widget != start && chain.size() < expected.size());
    EXPECT_EQ(expected, chain);
}

}  // namespace
}  // namespace v62x::test
