// The two dialog templates of the updater, as data: the main dialog (103)
// and the about box (100).  Positions and sizes are dialog units; a window
// turns them into pixels with the base units of the template's font.  The
// control order is the creation order and the tab order.
#pragma once

#include <cstdint>
#include <span>

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_PELUPDATOR_DIALOG = 103;
inline constexpr std::uint32_t IDR_MAINFRAME = 128;   // the application icon
inline constexpr int IDC_STATIC = -1;
inline constexpr int IDC_ABOUT_TITLE = 1003;          // the about box's read-only title field
inline constexpr int IDC_ABOUT_VERSION = 1005;        // the about box's line with the program's version

// Window styles.
inline constexpr std::uint32_t WS_POPUP = 0x80000000;
inline constexpr std::uint32_t WS_CHILD = 0x40000000;
inline constexpr std::uint32_t WS_VISIBLE = 0x10000000;
inline constexpr std::uint32_t WS_CAPTION = 0x00C00000;
inline constexpr std::uint32_t WS_BORDER = 0x00800000;
inline constexpr std::uint32_t WS_VSCROLL = 0x00200000;
inline constexpr std::uint32_t WS_SYSMENU = 0x00080000;
inline constexpr std::uint32_t WS_GROUP = 0x00020000;
inline constexpr std::uint32_t WS_TABSTOP = 0x00010000;
inline constexpr std::uint32_t WS_EX_APPWINDOW = 0x00040000;
inline constexpr std::uint32_t DS_MODALFRAME = 0x80;
inline constexpr std::uint32_t DS_SETFONT = 0x40;
// Control styles (the low 16 bits, by class).
inline constexpr std::uint32_t BS_PUSHBUTTON = 0x0;
inline constexpr std::uint32_t BS_DEFPUSHBUTTON = 0x1;
inline constexpr std::uint32_t SS_LEFT = 0x0;
inline constexpr std::uint32_t SS_ICON = 0x3;
inline constexpr std::uint32_t ES_AUTOHSCROLL = 0x80;
inline constexpr std::uint32_t ES_READONLY = 0x800;
inline constexpr std::uint32_t CBS_DROPDOWNLIST = 0x3;
inline constexpr std::uint32_t CBS_SORT = 0x100;

enum class ControlClass { Button, Static, Edit, ComboBox, Progress };

struct DialogControl {
    int id;
    ControlClass kind;
    const char* className;      // "button", "static", "edit", "combobox", "msctls_progress32"
    const char* text;           // empty when the template has none
    int x, y, cx, cy;           // dialog units
    std::uint32_t style;        // full window style
    std::uint32_t resourceId;   // the image of an icon static, else 0
};

struct DialogFont {
    const char* face;
    int pointSize;
    int weight;
    bool italic;
    int charset;
};

struct DialogTemplate {
    int id;
    std::uint32_t style;
    std::uint32_t exStyle;
    int x, y, cx, cy;           // dialog units; cx, cy: the client area
    const char* caption;
    DialogFont font;
    std::span<const DialogControl> controls;
};

// The template of that id, or nullptr.
const DialogTemplate* FindDialogTemplate(int id);

// The one line of legal notice in the about box.
extern const char* const kLegalNotice;
