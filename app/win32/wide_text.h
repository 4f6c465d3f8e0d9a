// UTF-8 texts of the dialog's logic to and from the UTF-16 of the window
// functions.  Invalid bytes become U+FFFD rather than ending the text.
#pragma once

#include <string>

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
