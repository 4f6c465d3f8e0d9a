// A dialog window built from a dialog template: its controls are created in
// template order (which is also the tab order) and placed by converting
// dialog units into pixels with the base units of the dialog's font, as
// Windows does.
#pragma once

#include "resources/dialog_templates.h"

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QRect>
#include <QSize>

#include <vector>

// Horizontal and vertical base units of a font, in pixels.
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};

// Base units from the width of "A".."Z" "a".."z" set in the font and from the
// font's height: x is that width / 52 rounded, y the height.
DialogBaseUnits BaseUnitsFromMetrics(int widthOf52Letters, int fontHeight);
DialogBaseUnits BaseUnitsOf(const QFont& font);

// Dialog units to pixels: x * baseX / 4 and y * baseY / 8, rounded to the
// nearest pixel.
QRect MapDialogRect(int x, int y, int cx, int cy, DialogBaseUnits units);

// "MS UI Gothic" at the template's size where that face exists, else the
// platform's default dialog font at that size.
QFont DialogFontFor(const DialogTemplate& dialogTemplate);

// The application icon (resource 128).
QIcon ApplicationIcon();

// A menu text from a string-table text with a mnemonic in parentheses:
// "About ARKO Q9 Updater(&A)..." becomes "&About ARKO Q9 Updater...".
QString MenuTextWithMnemonic(const QString& text);

// The window's size on a screen with `available` room: the template's
// client size, smaller where the screen (less a frame and title bar) is.
inline constexpr int kFrameAllowance = 16;
inline constexpr int kTitleAllowance = 48;
QSize FitToScreen(QSize client, QSize available);

class TemplateDialog : public QDialog {
    Q_OBJECT
public:
    TemplateDialog(int templateId, QWidget* parent);

    // The first control of that id (ids of statics repeat), or nullptr.
    QWidget* Control(int id) const;
    // Every control, in template order.
    const std::vector<QWidget*>& Controls() const { return controls; }
    const DialogTemplate& Template() const { return *dialogTemplate; }
    DialogBaseUnits BaseUnits() const { return units; }

private:
    QWidget* CreateControl(const DialogControl& control);

    const DialogTemplate* dialogTemplate;
    DialogBaseUnits units;
    QWidget* canvas = nullptr;   // holds the controls; scrolled when the window is smaller
    std::vector<QWidget*> controls;
};
