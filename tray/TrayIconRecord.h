#pragma once
// The shell's notify-icon record, laid out field for field as the shell reads it (the form that ends
// with guidItem), so the Win32 layer can hand it over unchanged.

#include <cstdint>

namespace Tavo {

struct TrayGuid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct TrayIconRecord {
    std::uint32_t cbSize;
    void* hWnd;
    std::uint32_t uID;
    std::uint32_t uFlags;
    std::uint32_t uCallbackMessage;
    void* hIcon;
    char szTip[128];
    std::uint32_t dwState;
    std::uint32_t dwStateMask;
    char szInfo[256];
    std::uint32_t uVersion; // shares its place with uTimeout
    char szInfoTitle[64];
    std::uint32_t dwInfoFlags;
    TrayGuid guidItem;
};

inline constexpr std::uint32_t TrayIconRecordSize = sizeof(void*) == 4 ? 504u : 520u;
static_assert(sizeof(TrayIconRecord) == TrayIconRecordSize, "notify-icon record has the wrong size");

// The icon's id and the message its notifications arrive as (WM_MOUSEMOVE), the mouse message in the
// low word of lParam.
inline constexpr std::uint32_t TrayIconId = 123;
inline constexpr std::uint32_t TrayCallbackMessage = 0x200;

inline constexpr std::uint32_t NimAdd = 0;
inline constexpr std::uint32_t NimModify = 1;
inline constexpr std::uint32_t NimDelete = 2;
inline constexpr std::uint32_t NimSetVersion = 4;

} // namespace Tavo
