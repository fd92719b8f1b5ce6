#include "platform/win32/ScreenReader.h"

#include <algorithm>
#include <cstddef>

namespace Tavo::Win32Platform {

namespace {

constexpr std::uint32_t Unreadable = 0xFFFFFFFF;

// A 32-bit DIB pixel is blue, green, red, unused in memory; a colour value has red in the low byte.
std::uint32_t ColourFromDibPixel(std::uint32_t Pixel) {
    return ((Pixel & 0xFFu) << 16) | (Pixel & 0xFF00u) | ((Pixel >> 16) & 0xFFu);
}

} // namespace

ScreenReader::~ScreenReader() {
    if (BoxDC) {
        SelectObject(BoxDC, BoxDCOriginalBitmap);
        DeleteDC(BoxDC);
    }
    if (BoxBitmap)
        DeleteObject(BoxBitmap);
    if (Screen)
        ReleaseDC(nullptr, Screen);
}

bool ScreenReader::Open(std::string& Problem) {
    if (!Screen)
        Screen = GetWindowDC(nullptr);
    if (!Screen) {
        Problem = "GetWindowDC for the whole screen failed (error " + std::to_string(GetLastError()) + ").";
        return false;
    }
    return true;
}

void ScreenReader::LearnLayout() {
    const int Left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int Top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    VirtualScreen = RECT{Left, Top, Left + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                         Top + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    MonitorCount = 0;
    AllMonitorsKnown = true;
    EnumDisplayMonitors(nullptr, nullptr, &ScreenReader::CollectMonitor, reinterpret_cast<LPARAM>(this));
    if (MonitorCount == 0)
        AllMonitorsKnown = false;
    LayoutKnown = true;
}

BOOL CALLBACK ScreenReader::CollectMonitor(HMONITOR /*Monitor*/, HDC /*Dc*/, LPRECT Area, LPARAM Self) {
    auto* Reader = reinterpret_cast<ScreenReader*>(Self);
    if (Reader->MonitorCount == MonitorCapacity) {
        Reader->AllMonitorsKnown = false;
        return FALSE;
    }
    Reader->Monitors[static_cast<std::size_t>(Reader->MonitorCount++)] = *Area;
    return TRUE;
}

bool ScreenReader::IsOnScreen(const ScreenPoint& Point) const {
    const POINT P{Point.X, Point.Y};
    if (!PtInRect(&VirtualScreen, P))
        return false;
    if (!AllMonitorsKnown)
        return true;
    // Between monitors of different sizes lies part of the bounding rectangle that no monitor shows.
    for (int I = 0; I < MonitorCount; ++I)
        if (PtInRect(&Monitors[static_cast<std::size_t>(I)], P))
            return true;
    return false;
}

bool ScreenReader::OnMonitor(ScreenPoint Point) {
    if (!LayoutKnown)
        LearnLayout();
    return IsOnScreen(Point);
}

bool ScreenReader::PrepareBoxBuffer(int Width, int Height) {
    if (BoxBitmap && Width <= BoxWidth && Height <= BoxHeight)
        return true;
    // Grow to hold both the old and the new box when that stays within the budget, so boxes of
    // alternating shapes do not re-create the buffer every time.
    int NewWidth = std::max(Width, BoxWidth);
    int NewHeight = std::max(Height, BoxHeight);
    if (static_cast<std::int64_t>(NewWidth) * NewHeight > ScreenBoxBudget) {
        NewWidth = Width;
        NewHeight = Height;
    }
    if (!BoxDC) {
        BoxDC = CreateCompatibleDC(Screen);
        if (!BoxDC)
            return false;
    }
    BITMAPINFO Info{};
    Info.bmiHeader.biSize = sizeof Info.bmiHeader;
    Info.bmiHeader.biWidth = NewWidth;
    Info.bmiHeader.biHeight = -NewHeight; // top-down: row 0 first
    Info.bmiHeader.biPlanes = 1;
    Info.bmiHeader.biBitCount = 32;
    Info.bmiHeader.biCompression = BI_RGB;
    void* Bits = nullptr;
    HBITMAP Bitmap = CreateDIBSection(BoxDC, &Info, DIB_RGB_COLORS, &Bits, nullptr, 0);
    if (!Bitmap || !Bits)
        return false;
    const HGDIOBJ Previous = SelectObject(BoxDC, Bitmap);
    if (BoxBitmap)
        DeleteObject(BoxBitmap);
    else
        BoxDCOriginalBitmap = Previous;
    BoxBitmap = Bitmap;
    BoxBits = static_cast<const std::uint32_t*>(Bits);
    BoxWidth = NewWidth;
    BoxHeight = NewHeight;
    ++BoxCreations;
    return true;
}

void ScreenReader::Read(std::span<const ScreenPoint> Points, std::span<std::uint32_t> Colours) {
    const std::size_t Count = std::min(Points.size(), Colours.size());
    LastPath = ReadPath::Nothing;
    if (!LayoutKnown)
        LearnLayout();

    // The box around every point that can be read.
    LONG Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool Any = false;
    for (std::size_t I = 0; I < Count; ++I) {
        const ScreenPoint& P = Points[I];
        if (!Screen || !IsOnScreen(P))
            continue;
        if (!Any) {
            Left = Right = P.X;
            Top = Bottom = P.Y;
            Any = true;
        }
        Left = std::min<LONG>(Left, P.X);
        Right = std::max<LONG>(Right, P.X);
        Top = std::min<LONG>(Top, P.Y);
        Bottom = std::max<LONG>(Bottom, P.Y);
    }
    if (!Any) {
        std::fill_n(Colours.begin(), Count, Unreadable);
        return;
    }

    const int Width = static_cast<int>(Right - Left + 1);
    const int Height = static_cast<int>(Bottom - Top + 1);
    // One read of the box when it is small enough; CAPTUREBLT takes in layered windows, as GetPixel does.
    const bool Boxed = static_cast<std::int64_t>(Width) * Height <= ScreenBoxBudget &&
                       PrepareBoxBuffer(Width, Height) &&
                       BitBlt(BoxDC, 0, 0, Width, Height, Screen, Left, Top, SRCCOPY | CAPTUREBLT);
    if (Boxed)
        GdiFlush();
    LastPath = Boxed ? ReadPath::Box : ReadPath::Single;

    for (std::size_t I = 0; I < Count; ++I) {
        const ScreenPoint& P = Points[I];
        if (!IsOnScreen(P))
            Colours[I] = Unreadable;
        else if (Boxed)
            Colours[I] = ColourFromDibPixel(
                BoxBits[static_cast<std::size_t>(P.Y - Top) * static_cast<std::size_t>(BoxWidth) +
                        static_cast<std::size_t>(P.X - Left)]);
        else
            Colours[I] = GetPixel(Screen, P.X, P.Y);
    }
}

} // namespace Tavo::Win32Platform
