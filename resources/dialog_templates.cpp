#include "resources/dialog_templates.h"

#include "app/dialog_window.h"
#include "q9_version.h"

#include <array>

namespace {

constexpr std::uint32_t kChild = WS_CHILD | WS_VISIBLE;
constexpr std::uint32_t kReadOnlyLine = kChild | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY;
constexpr std::uint32_t kPortList = kChild | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
constexpr DialogFont kDialogFont = {"MS UI Gothic", 9, 400, false, 1};

constexpr std::array<DialogControl, 12> kMainControls = {{
    {IDOK, ControlClass::Button, "button", "Execute", 119, 138, 50, 16, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {IDCANCEL, ControlClass::Button, "button", "Exit", 182, 138, 50, 16, kChild | WS_TABSTOP | BS_PUSHBUTTON, 0},
    {IDC_STATIC, ControlClass::Static, "static", "MIDI IN", 7, 7, 225, 8, kChild | WS_GROUP | SS_LEFT, 0},
    {IDC_STATIC, ControlClass::Static, "static", "MIDI OUT", 7, 37, 225, 8, kChild | WS_GROUP | SS_LEFT, 0},
    {IDC_MIDI_IN, ControlClass::ComboBox, "combobox", "", 7, 15, 225, 115, kPortList, 0},
    {IDC_MIDI_OUT, ControlClass::ComboBox, "combobox", "", 7, 45, 225, 115, kPortList, 0},
    {IDC_PROGRESS, ControlClass::Progress, "msctls_progress32", "", 7, 107, 225, 14, kChild | WS_BORDER, 0},
    {IDC_STATUS, ControlClass::Edit, "edit", "", 12, 91, 220, 12, kReadOnlyLine, 0},
    {IDC_RESCAN, ControlClass::Button, "button", "Rescan Device", 145, 65, 87, 16, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {IDC_COUNTER, ControlClass::Edit, "edit", "", 12, 78, 29, 12, kReadOnlyLine, 0},
    {IDC_VERSION_CHECK, ControlClass::Button, "button", "Version Check", 26, 140, 62, 14, kChild | WS_TABSTOP | BS_PUSHBUTTON, 0},
    {IDC_NEXT_STEP, ControlClass::Static, "static", "", 7, 160, 225, 26, kChild | SS_LEFT, 0},
}};

constexpr std::array<DialogControl, 5> kAboutControls = {{
    {IDC_STATIC, ControlClass::Static, "static", "", 11, 17, 20, 20, kChild | SS_ICON, IDR_MAINFRAME},
    {IDC_STATIC, ControlClass::Static, "static", "Provided as is, without warranty of any kind.", 40, 44, 188, 8,
     kChild | WS_GROUP | SS_LEFT, 0},
    {IDOK, ControlClass::Button, "button", "OK", 178, 6, 50, 16, kChild | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 0},
    {IDC_ABOUT_TITLE, ControlClass::Edit, "edit", "", 39, 19, 134, 14, kChild | WS_TABSTOP | ES_READONLY, 0},
    {IDC_ABOUT_VERSION, ControlClass::Static, "static", "Version " Q9_VERSION, 40, 35, 134, 8, kChild | SS_LEFT, 0},
}};

constexpr std::array<DialogTemplate, 2> kTemplates = {{
    {IDD_ABOUTBOX, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, 0, 0, 0, 235, 60,
     "About ARKO Q9 Updater", kDialogFont, kAboutControls},
    {IDD_PELUPDATOR_DIALOG, WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
     WS_EX_APPWINDOW, 0, 0, 239, 190, "", kDialogFont, kMainControls},
}};

}  // namespace

const char* const kLegalNotice = kAboutControls[1].text;

const DialogTemplate* FindDialogTemplate(int id)
{
    for (const auto& entry : kTemplates) {
        if (entry.id == id) return &entry;
    }
    return nullptr;
}
