// The dialog templates that windres compiled into the executable (generated
// as dialogs.rc from resources/dialog_templates.cpp) say exactly what the
// data says: styles, geometry, caption, font, and every control's id,
// class, text, style and place, in order.
#include "resources/dialog_templates.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

namespace {

struct CompiledControl {
    int id = 0;
    std::string className;   // lower case, ordinals named
    std::string text;        // an ordinal as "#n"
    int x = 0, y = 0, cx = 0, cy = 0;
    std::uint32_t style = 0;
};

struct CompiledDialog {
    std::uint32_t style = 0, exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::string caption, fontFace;
    int pointSize = 0, weight = 0, italic = 0, charset = 0;
    std::vector<CompiledControl> controls;
};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    bool Ok() const { return ok; }
    std::uint32_t Take(std::size_t bytes)
    {
        std::uint32_t value = 0;
        if (offset + bytes > size) {
            ok = false;
            return 0;
        }
        std::memcpy(&value, data + offset, bytes);
        offset += bytes;
        return value;
    }
    int Short() { return static_cast<std::int16_t>(Take(2)); }
    // A string or an ordinal (0xFFFF, n), as "#n"; ASCII is all the templates hold.
    std::string StringOrOrdinal()
    {
        std::uint32_t first = Take(2);
        if (first == 0xFFFF) return "#" + std::to_string(Take(2));
        std::string text;
        while (ok && first != 0) {
            text += first < 0x80 ? static_cast<char>(first) : '?';
            first = Take(2);
        }
        return text;
    }
    void AlignTo4() { offset = (offset + 3) & ~std::size_t{3}; }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset = 0;
    bool ok = true;
};

std::string ClassName(std::string name)
{
    static const char* const kOrdinals[] = {"button", "edit", "static", "listbox", "scrollbar", "combobox"};
    for (int ordinal = 0x80; ordinal <= 0x85; ++ordinal) {
        if (name == "#" + std::to_string(ordinal)) return kOrdinals[ordinal - 0x80];
    }
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return name;
}

bool LoadDialog(int id, CompiledDialog& out)
{
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    if (found == nullptr) return false;
    const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(nullptr, found)));
    Reader in(data, SizeofResource(nullptr, found));
    if (in.Take(2) != 1 || in.Take(2) != 0xFFFF) return false;   // DLGTEMPLATEEX
    in.Take(4);                                                   // help id
    out.exStyle = in.Take(4);
    out.style = in.Take(4);
    const int count = static_cast<int>(in.Take(2));
    out.x = in.Short(), out.y = in.Short(), out.cx = in.Short(), out.cy = in.Short();
    if (!in.StringOrOrdinal().empty() || !in.StringOrOrdinal().empty()) return false;   // no menu, no class
    out.caption = in.StringOrOrdinal();
    out.pointSize = static_cast<int>(in.Take(2));
    out.weight = static_cast<int>(in.Take(2));
    out.italic = static_cast<int>(in.Take(1));
    out.charset = static_cast<int>(in.Take(1));
    out.fontFace = in.StringOrOrdinal();
    for (int i = 0; i < count && in.Ok(); ++i) {
        in.AlignTo4();
        CompiledControl control;
        in.Take(4);   // help id
        if (in.Take(4) != 0) return false;   // no control has an extended style
        control.style = in.Take(4);
        control.x = in.Short(), control.y = in.Short(), control.cx = in.Short(), control.cy = in.Short();
        control.id = static_cast<std::int32_t>(in.Take(4));
        control.className = ClassName(in.StringOrOrdinal());
        control.text = in.StringOrOrdinal();
        in.Take(2);   // creation data: none
        out.controls.push_back(control);
    }
    return in.Ok();
}

TEST(DialogResources, CompiledTemplatesMatchTheData)
{
    for (int id : {IDD_PELUPDATOR_DIALOG, IDD_ABOUTBOX}) {
        SCOPED_TRACE("template " + std::to_string(id));
        const DialogTemplate* expected = FindDialogTemplate(id);
        ASSERT_NE(expected, nullptr);
        CompiledDialog compiled;
        ASSERT_TRUE(LoadDialog(id, compiled));
        EXPECT_EQ(compiled.style, expected->style);
        EXPECT_EQ(compiled.exStyle, expected->exStyle);
        EXPECT_EQ((std::vector<int>{compiled.x, compiled.y, compiled.cx, compiled.cy}),
                  (std::vector<int>{expected->x, expected->y, expected->cx, expected->cy}));
        EXPECT_EQ(compiled.caption, expected->caption);
        EXPECT_EQ(compiled.fontFace, expected->font.face);
        EXPECT_EQ((std::vector<int>{compiled.pointSize, compiled.weight, compiled.italic, compiled.charset}),
                  (std::vector<int>{expected->font.pointSize, expected->font.weight, expected->font.italic ? 1 : 0,
                                    expected->font.charset}));
        ASSERT_EQ(compiled.controls.size(), expected->controls.size());
        for (std::size_t i = 0; i < compiled.controls.size(); ++i) {
            const CompiledControl& got = compiled.controls[i];
            const DialogControl& want = expected->controls[i];
            SCOPED_TRACE("control " + std::to_string(i));
            EXPECT_EQ(got.id, want.id);
            EXPECT_EQ(got.className, want.className);
            EXPECT_EQ(got.text, want.resourceId != 0 ? "#" + std::to_string(want.resourceId) : std::string(want.text));
            EXPECT_EQ((std::vector<int>{got.x, got.y, got.cx, got.cy}),
                      (std::vector<int>{want.x, want.y, want.cx, want.cy}));
            EXPECT_EQ(got.style, want.style);
        }
    }
}

}  // namespace
