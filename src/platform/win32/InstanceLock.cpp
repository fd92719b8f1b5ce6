#include "platform/win32/InstanceLock.h"

#include <cstdint>

namespace Tavo::Win32Platform {

InstanceLock::~InstanceLock() {
    if (Mark)
        CloseHandle(Mark);
}

std::wstring InstanceLock::OwnExecutablePath() {
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

std::wstring InstanceLock::MutexName(std::wstring_view ExecutablePath) {
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

std::optional<bool> InstanceLock::IsClaimed(std::wstring_view ExecutablePath) {
    if (ExecutablePath.empty())
        return std::nullopt;
    // Opened, never created: a mark that does not exist stays so.
    const HANDLE Handle = OpenMutexW(SYNCHRONIZE, FALSE, MutexName(ExecutablePath).c_str());
    const DWORD Error = GetLastError();
    if (Handle) {
        CloseHandle(Handle);
        return true;
    }
    if (Error == ERROR_FILE_NOT_FOUND)
        return false;
    if (Error == ERROR_ACCESS_DENIED)
        return true; // held by a copy under another account or elevation
    return std::nullopt;
}

InstanceClaim InstanceLock::Claim(std::wstring_view ExecutablePath) {
    if (ExecutablePath.empty())
        return InstanceClaim::Claimed;
    // Held until the process ends (or this lock goes), also by a copy that finds the mark taken.
    const HANDLE Handle = CreateMutexW(nullptr, FALSE, MutexName(ExecutablePath).c_str());
    const DWORD Error = GetLastError();
    if (Handle) {
        if (Mark)
            CloseHandle(Mark);
        Mark = Handle;
    }
    if (Handle && Error == ERROR_ALREADY_EXISTS)
        return InstanceClaim::AlreadyRunning;
    // A copy running under another account or elevation holds the mutex, but we may not open it.
    if (!Handle && Error == ERROR_ACCESS_DENIED)
        return InstanceClaim::AlreadyRunning;
    return InstanceClaim::Claimed;
}

} // namespace Tavo::Win32Platform
