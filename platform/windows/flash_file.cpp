#include "platform/flash_file.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

// On Windows the file is held open without sharing write access, which is
// the lock: a second device opening it for writing gets a sharing
// violation.  The held handle cannot be replaced by a rename, so the file
// is written back in place through it.
namespace {

std::wstring Wide(const std::string& utf8)
{
    if (utf8.empty()) return {};
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string SystemText(DWORD code)
{
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
    if (text != nullptr) ::LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result;
}

std::string Failure(const std::string& what, const std::string& path, DWORD code)
{
    return what + " flash file " + path + ": " + SystemText(code);
}

HANDLE Held(FlashFile::Handle h) { return reinterpret_cast<HANDLE>(h); }

bool WriteAll(HANDLE h, const std::vector<std::uint8_t>& bytes)
{
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(h, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return ::FlushFileBuffers(h) != 0;
}

}  // namespace

FlashFile::~FlashFile()
{
    if (fd != kNone) ::CloseHandle(Held(fd));
}

bool FlashFile::Open(const std::string& p, const std::vector<std::uint8_t>& initial, std::size_t size,
                     std::vector<std::uint8_t>& contents, std::string& error)
{
    path = p;
    const std::wstring name = Wide(path);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = "flash file " + path + " is not a regular file";
        return false;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        error = "flash file " + path + " is read-only: a device on it could not write its flash back";
        return false;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
            h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS) continue;   // made meanwhile
            if (h == INVALID_HANDLE_VALUE) {
                error = Failure("cannot create", path, ::GetLastError());
                return false;
            }
            if (!WriteAll(h, initial)) {
                const DWORD code = ::GetLastError();
                ::CloseHandle(h);
                ::DeleteFileW(name.c_str());
                error = Failure("cannot create", path, code);
                return false;
            }
            fd = reinterpret_cast<Handle>(h);
            contents = initial;
            return true;
        }
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
                error = "flash file " + path + " is in use by another virtual device";
            } else if (code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT) {
                error = Failure("cannot write back (read-only, immutable or not permitted)", path, code);
            } else {
                error = Failure("cannot open", path, code);
            }
            return false;
        }
        LARGE_INTEGER held{};
        if (!::GetFileSizeEx(h, &held) || static_cast<unsigned long long>(held.QuadPart) != size) {
            ::CloseHandle(h);
            error = "flash file " + path + " holds " + std::to_string(held.QuadPart) +
                    " bytes; a flash image must be exactly " + std::to_string(size) + " bytes (4 MiB)";
            return false;
        }
        contents.assign(size, 0);
        std::size_t done = 0;
        while (done < size) {
            DWORD got = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 20));
            if (!::ReadFile(h, contents.data() + done, chunk, &got, nullptr) || got == 0) {
                const DWORD code = got == 0 ? ERROR_HANDLE_EOF : ::GetLastError();
                ::CloseHandle(h);
                error = Failure("cannot read", path, code);
                return false;
            }
            done += got;
        }
        fd = reinterpret_cast<Handle>(h);
        return true;
    }
    error = "flash file " + path + " keeps being replaced by another program";
    return false;
}

bool FlashFile::Save(const std::vector<std::uint8_t>& contents, std::string& error)
{
    if (fd == kNone) {
        error = "flash file " + path + " is not open";
        return false;
    }
    if (WriteAll(Held(fd), contents)) return true;
    error = Failure("cannot write back", path, ::GetLastError());
    return false;
}

}  // namespace platform
