#include "platform/win32/SingleInstance.h"

#include <windows.h>

#include <cstdint>

namespace Tavo::Win32 {

namespace {

std::wstring OwnExecutablePath() {
    std::wstring Path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD Length = GetModuleFileNameW(nullptr, Path.data(), static_cast<DWORD>(Path.size()));
        if (Length == 0)
            return {};
        if (Length < Path.size()) {
            Path.resize(Length);
            break;
        }
        Path.resize(Path.size() * 2);
    }
    // A start through a short (8.3) name must find the copy started through the long one.
    std::wstring Long(Path.size() + MAX_PATH, L'\0');
    const DWORD LongLength = GetLongPathNameW(Path.c_str(), Long.data(), static_cast<DWORD>(Long.size()));
    if (LongLength > 0 && LongLength < Long.size()) {
        Long.resize(LongLength);
        return Long;
    }
    return Path;
}

} // namespace

std::wstring InstanceMutexName(std::wstring_view ExecutablePath) {
    std::wstring Lower(ExecutablePath);
    if (!Lower.empty())
        CharLowerBuffW(Lower.data(), static_cast<DWORD>(Lower.size()));
    // FNV-1a over the UTF-16 units: a path can be longer than a kernel object name may be.
    std::uint64_t Hash = 14695981039346656037ull;
    for (const wchar_t Unit : Lower) {
        Hash ^= static_cast<std::uint16_t>(Unit);
        Hash *= 1099511628211ull;
    }
    wchar_t Hex[17] = {};
    for (int I = 15; I >= 0; --I, Hash >>= 4)
        Hex[I] = L"0123456789abcdef"[Hash & 0xF];
    return std::wstring(L"Local\\TavoRouterControl-") + Hex;
}

bool ClaimSingleInstance() {
    const std::wstring Path = OwnExecutablePath();
    if (Path.empty())
        return true;
    // Kept open until the process ends; the system closes it then.
    const HANDLE Mark = CreateMutexW(nullptr, FALSE, InstanceMutexName(Path).c_str());
    const DWORD Error = GetLastError();
    if (Mark && Error == ERROR_ALREADY_EXISTS)
        return false;
    // A copy running under another account or elevation holds the mutex, but we may not open it.
    if (!Mark && Error == ERROR_ACCESS_DENIED)
        return false;
    return true;
}

} // namespace Tavo::Win32
