// The two dialog templates as data and as the widgets built from them:
// ids, classes, texts, placement in dialog units, styles and tab order; the
// base-unit conversion; the about box; the program's options.
#include "app/pel_updator_dlg.h"
#include "app/qt/about_dlg.h"
#include "app/qt/main_dialog.h"
#include "app/qt/pel_updator_app.h"
#include "resources/dialog_templates.h"
#include "q9_version.h"
#include "tests/support/fake_midi.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <string>
#include <vector>

namespace {

struct Expected {
    int id;
    ControlClass kind;
    std::string className;
    std::string text;
    int x, y, cx, cy;
    std::uint32_t style;
};

// The templates written out once more, by hand.
const std::vector<Expected> kMain = {
    {1, ControlClass::Button, "button", "Execute", 119, 138, 50, 16, 0x50010001},
    {2, ControlClass::Button, "button", "Exit", 182, 138, 50, 16, 0x50010000},
    {-1, ControlClass::Static, "static", "MIDI IN", 7, 7, 225, 8, 0x50020000},
    {-1, ControlClass::Static, "static", "MIDI OUT", 7, 37, 225, 8, 0x50020000},
    {1000, ControlClass::ComboBox, "combobox", "", 7, 15, 225, 115, 0x50210003},
    {1001, ControlClass::ComboBox, "combobox", "", 7, 45, 225, 115, 0x50210003},
    {1002, ControlClass::Progress, "msctls_progress32", "", 7, 107, 225, 14, 0x50800000},
    {1003, ControlClass::Edit, "edit", "", 12, 91, 220, 12, 0x50010880},
    {1004, ControlClass::Button, "button", "Rescan Device", 145, 65, 87, 16, 0x50010001},
    {1006, ControlClass::Edit, "edit", "", 12, 78, 29, 12, 0x50010880},
    {1007, ControlClass::Button, "button", "Version Check", 26, 140, 62, 14, 0x50010000},
    {1008, ControlClass::Static, "static", "", 7, 160, 225, 26, 0x50000000},
};

const std::vector<Expected> kAbout = {
    {-1, ControlClass::Static, "static", "", 11, 17, 20, 20, 0x50000003},
    {-1, ControlClass::Static, "static", kLegalNotice, 40, 44, 188, 8, 0x50020000},
    {1, ControlClass::Button, "button", "OK", 178, 6, 50, 16, 0x50030001},
    {1003, ControlClass::Edit, "edit", "", 39, 19, 134, 14, 0x50010800},
    {1005, ControlClass::Static, "static", "Version " Q9_VERSION, 40, 35, 134, 8, 0x50000000},
};

void ExpectTemplate(const DialogTemplate& t, const std::vector<Expected>& expected)
{
    ASSERT_EQ(t.controls.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i));
        const DialogControl& c = t.controls[i];
        const Expected& e = expected[i];
        EXPECT_EQ(c.id, e.id);
        EXPECT_EQ(c.kind, e.kind);
        EXPECT_EQ(c.className, e.className);
        EXPECT_EQ(c.text, e.text);
        EXPECT_EQ(c.x, e.x);
        EXPECT_EQ(c.y, e.y);
        EXPECT_EQ(c.cx, e.cx);
        EXPECT_EQ(c.cy, e.cy);
        EXPECT_EQ(c.style, e.style);
    }
}

// The widgets of a built dialog against its template: class, text, place,
// size (the combo box's template height is its dropped list), focus.
void ExpectWidgets(const TemplateDialog& dialog)
{
    const DialogTemplate& t = dialog.Template();
    const DialogBaseUnits units = dialog.BaseUnits();
    ASSERT_EQ(dialog.Controls().size(), t.controls.size());
    EXPECT_EQ(dialog.size(), MapDialogRect(0, 0, t.cx, t.cy, units).size());
    for (std::size_t i = 0; i < t.controls.size(); ++i) {
        SCOPED_TRACE(std::string("control ") + std::to_string(i));
        const DialogControl& c = t.controls[i];
        QWidget* w = dialog.Controls()[i];
        const QRect r = MapDialogRect(c.x, c.y, c.cx, c.cy, units);
        EXPECT_EQ(w->property("controlId").toInt(), c.id);
        EXPECT_EQ(w->pos(), r.topLeft());
        EXPECT_EQ((w->focusPolicy() & Qt::TabFocus) != 0, (c.style & WS_TABSTOP) != 0);
        switch (c.kind) {
        case ControlClass::Button: {
            auto* b = qobject_cast<QPushButton*>(w);
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(b->text().toStdString(), c.text);
            EXPECT_EQ(b->size(), r.size());
            EXPECT_EQ(b->isDefault(), c.id == 1 && (c.style & 0xF) == BS_DEFPUSHBUTTON);
            break;
        }
        case ControlClass::Static: {
            auto* l = qobject_cast<QLabel*>(w);
            ASSERT_NE(l, nullptr);
            if ((c.style & 0x1F) == SS_ICON) {
                EXPECT_FALSE(l->pixmap().isNull());
                EXPECT_EQ(l->size(), QSize(32, 32));   // an icon static takes the icon's size
            } else {
                EXPECT_EQ(l->text().toStdString(), c.text);
                EXPECT_EQ(l->size(), r.size());
            }
            break;
        }
        case ControlClass::Edit: {
            auto* e = qobject_cast<QLineEdit*>(w);
            ASSERT_NE(e, nullptr);
            EXPECT_TRUE(e->isReadOnly());
            EXPECT_FALSE(e->hasFrame());
            EXPECT_EQ(e->size(), r.size());
            break;
        }
        case ControlClass::ComboBox: {
            auto* combo = qobject_cast<QComboBox*>(w);
            ASSERT_NE(combo, nullptr);
            EXPECT_FALSE(combo->isEditable());
            EXPECT_EQ(combo->width(), r.width());
            EXPECT_LE(combo->height(), r.height());
            break;
        }
        case ControlClass::Progress: {
            auto* bar = qobject_cast<QProgressBar*>(w);
            ASSERT_NE(bar, nullptr);
            EXPECT_EQ(bar->size(), r.size());
            EXPECT_FALSE(bar->isTextVisible());
            break;
        }
        }
    }
}

// The tab stops in focus-chain order, starting at the first.
std::vector<QWidget*> TabChain(const TemplateDialog& dialog)
{
    std::vector<QWidget*> stops;
    QWidget* first = nullptr;
    for (QWidget* w : dialog.Controls()) {
        if (w->focusPolicy() & Qt::TabFocus) {
            first = w;
            break;
        }
    }
    for (QWidget* w = first; w != nullptr;) {
        stops.push_back(w);
        do {
            w = w->nextInFocusChain();
        } while (w != first && !(w->focusPolicy() & Qt::TabFocus));
        if (w == first) break;
    }
    return stops;
}

std::vector<QWidget*> TemplateTabStops(const TemplateDialog& dialog)
{
    std::vector<QWidget*> stops;
    for (std::size_t i = 0; i < dialog.Controls().size(); ++i) {
        if (dialog.Template().controls[i].style & WS_TABSTOP) stops.push_back(dialog.Controls()[i]);
    }
    return stops;
}

}  // namespace

TEST(DialogTemplates, MainDialogTemplate)
{
    const DialogTemplate* t = FindDialogTemplate(103);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->style, 0x90C800C0u);
    EXPECT_EQ(t->exStyle, 0x00040000u);
    EXPECT_EQ(t->cx, 239);
    EXPECT_EQ(t->cy, 190);
    EXPECT_STREQ(t->caption, "");
    EXPECT_STREQ(t->font.face, "MS UI Gothic");
    EXPECT_EQ(t->font.pointSize, 9);
    EXPECT_FALSE(t->font.italic);
    EXPECT_EQ(t->font.charset, 1);
    ExpectTemplate(*t, kMain);
}

TEST(DialogTemplates, AboutTemplate)
{
    const DialogTemplate* t = FindDialogTemplate(100);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->style, 0x80C800C0u);
    EXPECT_EQ(t->exStyle, 0u);
    EXPECT_EQ(t->cx, 235);
    EXPECT_EQ(t->cy, 60);
    EXPECT_STREQ(t->caption, "About ARKO Q9 Updater");
    EXPECT_STREQ(t->font.face, "MS UI Gothic");
    EXPECT_EQ(t->font.pointSize, 9);
    EXPECT_EQ(t->controls[0].resourceId, IDR_MAINFRAME);
    ExpectTemplate(*t, kAbout);
    EXPECT_EQ(FindDialogTemplate(101), nullptr);
}

TEST(DialogUnits, BaseUnitsAndRounding)
{
    // The classic 8 pt dialog font: 52 letters 312 px wide, 13 px high -> 6 x 13.
    const DialogBaseUnits classic = BaseUnitsFromMetrics(312, 13);
    EXPECT_EQ(classic.x, 6);
    EXPECT_EQ(classic.y, 13);
    EXPECT_EQ(MapDialogRect(119, 138, 50, 16, classic), QRect(179, 224, 75, 26));
    // Widths round to the nearest: 337 / 52 = 6.48 -> 6, 339 / 52 = 6.52 -> 7.
    EXPECT_EQ(BaseUnitsFromMetrics(337, 15).x, 6);
    EXPECT_EQ(BaseUnitsFromMetrics(339, 15).x, 7);
    // x * 7 / 4 and y * 15 / 8 rounded half up: 7 * 7 / 4 = 12.25, 15 * 15 / 8 = 28.125, 45 * 15 / 8 = 84.375, 12 * 15 / 8 = 22.5.
    const DialogBaseUnits units{7, 15};
    EXPECT_EQ(MapDialogRect(7, 15, 225, 12, units), QRect(12, 28, 394, 23));
    EXPECT_EQ(MapDialogRect(2, 45, 1, 4, units), QRect(4, 84, 2, 8));
}

TEST(DialogWidgets, MainDialogControlsAndTabOrder)
{
    q9test::FakeMidi midi;
    q9test::ScopedMidi scoped(midi);
    MainDialog dialog(1);
    ExpectWidgets(dialog);
    EXPECT_EQ(TabChain(dialog), TemplateTabStops(dialog));
    ASSERT_EQ(TemplateTabStops(dialog).size(), 8u);
    EXPECT_EQ(TabChain(dialog).front(), dialog.Control(IDOK));
    EXPECT_EQ(dialog.size(), dialog.maximumSize());   // its full size where the screen has room
}

TEST(DialogWidgets, AboutBox)
{
    CAboutDlg about;
    ExpectWidgets(about);
    EXPECT_EQ(TabChain(about), TemplateTabStops(about));
    EXPECT_EQ(TabChain(about).front(), about.Control(IDOK));
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About ARKO Q9 Updater"));
    ASSERT_NE(about.titleEdit, nullptr);
    EXPECT_TRUE(about.titleEdit->text().isEmpty());   // empty in the template
    EXPECT_TRUE(about.OnInitDialog());
    EXPECT_EQ(about.titleEdit->text(), QStringLiteral("ARKO Q9 System v1.20 Updater"));
    EXPECT_TRUE(about.titleEdit->isReadOnly());
    about.titleEdit->selectAll();
    EXPECT_EQ(about.titleEdit->selectedText(), about.titleEdit->text());   // it can be selected and copied
}

TEST(DialogWidgets, AboutItemText)
{
    EXPECT_EQ(MenuTextWithMnemonic(QStringLiteral("About ARKO Q9 Updater(&A)...")),
              QStringLiteral("&About ARKO Q9 Updater..."));
    EXPECT_EQ(MenuTextWithMnemonic(QStringLiteral("Version(&R)")), QStringLiteral("Ve&rsion"));
    EXPECT_EQ(MenuTextWithMnemonic(QStringLiteral("Plain")), QStringLiteral("Plain"));
    EXPECT_EQ(MenuTextWithMnemonic(QStringLiteral("Odd(&Z)")), QStringLiteral("Odd(&Z)"));
    EXPECT_EQ(MenuTextWithMnemonic(QStringLiteral("Cut (&")), QStringLiteral("Cut (&"));
}

TEST(AppOptionsTest, Parsing)
{
    AppOptions options;
    QString error;
    EXPECT_TRUE(ParseAppOptions({}, options, error));
    EXPECT_FALSE(options.virtualDevice);

    EXPECT_TRUE(ParseAppOptions({QStringLiteral("--virtual-device")}, options, error));
    EXPECT_TRUE(options.virtualDevice);
    EXPECT_EQ(options.virtualSettings, "");

    AppOptions withSettings;
    EXPECT_TRUE(ParseAppOptions({QStringLiteral("--virtual-device=link=131072,silent")}, withSettings, error));
    EXPECT_TRUE(withSettings.virtualDevice);
    EXPECT_EQ(withSettings.virtualSettings, "link=131072,silent");

    AppOptions help;
    EXPECT_TRUE(ParseAppOptions({QStringLiteral("--help")}, help, error));
    EXPECT_TRUE(help.help);

    AppOptions bad;
    EXPECT_FALSE(ParseAppOptions({QStringLiteral("--virtual")}, bad, error));
    EXPECT_TRUE(error.contains(QStringLiteral("--virtual")));
    EXPECT_FALSE(ParseAppOptions({QStringLiteral("update")}, bad, error));
}
