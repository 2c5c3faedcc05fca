// The control inventory of the main window as it stands after construction
// with no device attached.
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QStyle>
#include <QWindow>

#include "window/WindowFixture.h"

namespace v62x::test {
namespace {

enum class Kind { Edit, ReadOnlyEdit, Label, List, CheckBox, Button, Frame };

struct ControlRow {
    const char* name;
    Kind kind;
    const char* parent;
    const char* caption;  // text, caption label of an edit, or nullptr
    bool shown;           // not hidden after construction
    bool enabled;
};

// Start states after construction with no device: the empty state has
// disabled FlashTypeList and A1ChipCheck and hidden NVRAMCheck and
// VRS735HDDFwChk; the panel handler has hidden FwSizeCheck and FwSizeLable.
const ControlRow kControls[] = {
    {"ChipLabelEdit", Kind::ReadOnlyEdit, "V62xFwTool", "Chip ", true, true},
    {"RefreshBtn", Kind::Button, "V62xFwTool", "Refresh Device", false, true},
    {"diskLabel", Kind::Label, "V62xFwTool", "USB Disk", true, true},
    {"DeviceList", Kind::List, "V62xFwTool", nullptr, true, false},
    {"FwFilenameEdit", Kind::Edit, "V62xFwTool", "Firmware File ", true, true},
    {"LoadBtn", Kind::Button, "V62xFwTool", "Load File", true, true},
    {"DiskLetterLable", Kind::ReadOnlyEdit, "V62xFwTool", "Drives ", true, true},
    {"FwVerLableEdit", Kind::ReadOnlyEdit, "V62xFwTool", "Firmware Ver. ", true, true},
    {"SFlashTypeLable", Kind::ReadOnlyEdit, "V62xFwTool", "Flash Type", true, true},
    {"FwPgBurnSizeLabel", Kind::Label, "V62xFwTool", "Flash PgSz", false, true},
    {"FwPgSizeCheck", Kind::List, "V62xFwTool", nullptr, false, true},
    {"FlashTypeLabel", Kind::Label, "V62xFwTool", "Flash Type ", true, true},
    {"FlashTypeList", Kind::List, "V62xFwTool", nullptr, true, false},
    {"StatusEdit", Kind::ReadOnlyEdit, "V62xFwTool", "Status ", true, true},
    {"UpdateBtn", Kind::Button, "V62xFwTool", "Run", true, false},
    {"ExitBtn", Kind::Button, "V62xFwTool", "Exit", true, true},
    {"RdCheckBox", Kind::CheckBox, "V62xFwTool", "RD Version", true, true},
    {"Panel1", Kind::Frame, "V62xFwTool", nullptr, true, true},
    {"RdPanel", Kind::Frame, "V62xFwTool", nullptr, false, true},
    {"VRS735HDDFwChk", Kind::CheckBox, "RdPanel", "VRS735 HDD FW ", false, true},
    {"A1ChipCheck", Kind::CheckBox, "RdPanel", "A1 Chip", true, false},
    {"ChkSumChk", Kind::CheckBox, "RdPanel", "Check CheckSum", true, true},
    {"VR735Path", Kind::List, "RdPanel", nullptr, false, true},
    {"EraseOnlyCheck", Kind::CheckBox, "RdPanel", "Erase All Flash Only ", true, true},
    {"NVRAMCheck", Kind::CheckBox, "RdPanel", "Include 4K NVRAM", false, true},
    {"BackupFWCheckBox", Kind::CheckBox, "RdPanel", "Backup Old Firmware Only", true, true},
    {"BackupBtn", Kind::Button, "RdPanel", "Browse", true, true},
    {"FwSizeCheck", Kind::List, "RdPanel", nullptr, false, true},
    {"FwSizeLable", Kind::Label, "RdPanel", "Firmware size", false, true},
    {"BackupFileEdit", Kind::Edit, "RdPanel", "Backup FileName ", true, true},
};

class WindowInventory : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        Open();
    }
};

TEST_F(WindowInventory, EveryControlHasItsKindCaptionAndStartState) {
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
                auto* label = qobject_cast<QLabel*>(edit->parentWidget()->findChild<QLabel*>(
                    QString(row.name) + "Caption"));
                ASSERT_NE(nullptr, label);
                EXPECT_EQ(edit, label->buddy());
                caption = label->text();
                // The caption sits left of its edit, on the same line.
                EXPECT_LE(label->geometry().right(), edit->x() - 1);
                EXPECT_LT(std::abs(label->geometry().center().y() - edit->geometry().center().y()), edit->height() / 2);
                EXPECT_EQ(row.shown, !label->isHidden());
                break;
            }
            case Kind::Label:
                ASSERT_NE(nullptr, qobject_cast<QLabel*>(widget));
                caption = qobject_cast<QLabel*>(widget)->text();
                break;
            case Kind::List:
                ASSERT_NE(nullptr, qobject_cast<QComboBox*>(widget));
                break;
            case Kind::CheckBox: {
                auto* box = qobject_cast<QCheckBox*>(widget);
                ASSERT_NE(nullptr, box);
                EXPECT_FALSE(box->isChecked());
                caption = box->text();
                break;
            }
            case Kind::Button:
                ASSERT_NE(nullptr, qobject_cast<QPushButton*>(widget));
                caption = qobject_cast<QPushButton*>(widget)->text();
                break;
            case Kind::Frame:
                ASSERT_NE(nullptr, qobject_cast<QFrame*>(widget));
                break;
        }
        if (row.caption != nullptr) {
            EXPECT_EQ(row.caption, caption.toStdString());
        }
    }
}

// The room a control leaves for its text: its width less the frame, the
// check box's indicator or the list's arrow.
int TextRoom(QWidget* control) {
    QStyle* style = control->style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);
    if (qobject_cast<QCheckBox*>(control) != nullptr) {
        return control->width() - style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, control) -
               style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, control);
    }
    if (qobject_cast<QComboBox*>(control) != nullptr) {
        return control->width() - 2 * frame - style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, control);
    }
    if (auto* label = qobject_cast<QLabel*>(control)) return label->contentsRect().width() - 2 * label->margin();
    return control->width() - 2 * frame;
}

// A group or plain frame: it holds or sets off controls, shows no text.
bool IsFrame(QWidget* w) {
    return qobject_cast<QGroupBox*>(w) != nullptr || w->metaObject() == &QFrame::staticMetaObject;
}

// What the user sees, as constructed and with the RD panel open: no two
// shown controls overlap (a frame may hold a control), each lies on the
// window, and each text fits its control.
TEST_F(WindowInventory, ShownControlsDoNotOverlapAndTheirTextsFit) {
    for (const bool rd : {false, true}) {
        SCOPED_TRACE(rd ? "RD panel open" : "as constructed");
        if (rd) Click(Box("RdCheckBox"));
        for (QWidget* parent : {static_cast<QWidget*>(window.get()), Find<QWidget>("RdPanel")}) {
            if (!parent->isVisible()) continue;
            std::vector<QWidget*> shown;
            for (QWidget* child : parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                if (!child->isHidden() && !child->isWindow()) shown.push_back(child);
            }
            for (QWidget* control : shown) {
                const std::string name = control->objectName().toStdString();
                // A control lies whole on the window; a frame (a rule, a
                // panel's ground) may run past its edge, not off it.
                const QRect onWindow(control->mapTo(window.get(), QPoint(0, 0)), control->size());
                if (IsFrame(control)) {
                    EXPECT_TRUE(window->rect().intersects(onWindow)) << name << " lies off the window";
                } else {
                    EXPECT_TRUE(window->rect().contains(onWindow)) << name << " runs off the window";
                }
                QStringList texts;
                if (auto* label = qobject_cast<QLabel*>(control)) texts << label->text();
                if (auto* button = qobject_cast<QAbstractButton*>(control)) texts << button->text();
                if (auto* edit = qobject_cast<QLineEdit*>(control)) texts << edit->text();
                if (auto* list = qobject_cast<QComboBox*>(control)) {
                    for (int i = 0; i < list->count(); ++i) texts << list->itemText(i);
                }
                const QFontMetrics metrics(control->font());
                for (const QString& text : texts) {
                    EXPECT_LE(metrics.horizontalAdvance(text.trimmed()), TextRoom(control))
                        << name << ": \"" << text.toStdString() << "\" does not fit";
                }
            }
            for (std::size_t i = 0; i < shown.size(); ++i) {
                for (std::size_t j = i + 1; j < shown.size(); ++j) {
                    const QRect a = shown[i]->geometry();
                    const QRect b = shown[j]->geometry();
                    if ((IsFrame(shown[i]) && a.contains(b)) || (IsFrame(shown[j]) && b.contains(a))) continue;
                    EXPECT_FALSE(a.intersects(b)) << shown[i]->objectName().toStdString() << " overlaps "
                                                  << shown[j]->objectName().toStdString();
                }
            }
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
