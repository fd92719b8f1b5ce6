#include "platform/win32/picker/PickerWindow.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "picker/PickerSession.h"
#include "platform/win32/picker/CheckWindow.h"
#include "platform/win32/picker/PickerText.h"

namespace Tavo::Win32Platform {

namespace {

using namespace Tavo::Picker;

constexpr char WindowClass[] = "TavoLampPicker";
constexpr char LinesClass[] = "TavoLampPickerLines";
constexpr char Title[] = "TavoLampPicker";
constexpr UINT_PTR FollowTimer = 1;
constexpr UINT FollowMs = 40;
constexpr int Reach = 5; // magnified square: the point and 5 pixels around it
constexpr int Side = 2 * Reach + 1;
constexpr int FirstButtonId = 100;
constexpr int LinesEditId = 200;
constexpr UINT DpiChanged = 0x02E0; // WM_DPICHANGED, sent to per-monitor aware windows

struct HotKey {
    UINT Vk;
    UINT Mods;
    const char* Name;
    KeyPress Press;
};

// The keys act wherever the pointer is, like on the other desktop; the arrows and Backspace repeat.
const std::array<HotKey, 21> HotKeys{{
    {'1', MOD_NOREPEAT, "1", {KeyName::Character, '1'}},
    {'2', MOD_NOREPEAT, "2", {KeyName::Character, '2'}},
    {'3', MOD_NOREPEAT, "3", {KeyName::Character, '3'}},
    {'4', MOD_NOREPEAT, "4", {KeyName::Character, '4'}},
    {'5', MOD_NOREPEAT, "5", {KeyName::Character, '5'}},
    {'6', MOD_NOREPEAT, "6", {KeyName::Character, '6'}},
    {'7', MOD_NOREPEAT, "7", {KeyName::Character, '7'}},
    {'8', MOD_NOREPEAT, "8", {KeyName::Character, '8'}},
    {'A', MOD_NOREPEAT, "A", {KeyName::Character, 'a'}},
    {'O', MOD_NOREPEAT, "O", {KeyName::Character, 'o'}},
    {'C', MOD_NOREPEAT, "C", {KeyName::Character, 'c'}},
    {'P', MOD_NOREPEAT, "P", {KeyName::Character, 'p'}},
    {'K', MOD_NOREPEAT, "K", {KeyName::Character, 'k'}},
    {VK_RETURN, MOD_NOREPEAT, "Enter", {KeyName::Enter, 0}},
    {VK_ESCAPE, MOD_NOREPEAT, "Esc", {KeyName::Escape, 0}},
    {VK_SPACE, MOD_NOREPEAT, "Space", {KeyName::Space, 0}},
    {VK_BACK, 0, "Backspace", {KeyName::Backspace, 0}},
    {VK_LEFT, 0, "Left", {KeyName::Left, 0}},
    {VK_RIGHT, 0, "Right", {KeyName::Right, 0}},
    {VK_UP, 0, "Up", {KeyName::Up, 0}},
    {VK_DOWN, 0, "Down", {KeyName::Down, 0}},
}};

KeyPress FromVirtualKey(WPARAM Vk) {
    for (const HotKey& K : HotKeys)
        if (K.Vk == Vk)
            return K.Press;
    return {};
}

class PickerApp {
  public:
    // Check: the settings check opens at once, of CheckFile (null: the file beside the picker).
    int Run(HINSTANCE Instance, bool Check, const char* CheckFile);

  private:
    // Both windows carry the app in GWLP_USERDATA, set from their creation parameter.
    static PickerApp* From(HWND Window, UINT Message, LPARAM LParam);
    static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
    static LRESULT CALLBACK LinesProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
    LRESULT Handle(UINT Message, WPARAM WParam, LPARAM LParam);

    int Scale(int Value) const { return MulDiv(Value, Dpi, 96); }
    void MakeFonts();
    void Layout();
    void Tick();
    void ReadUnder();
    bool CoversPoint() const;
    bool FollowPointer();
    void Do(const Action& What);
    void Apply(const Action& What);
    void Copy(const std::string& Text);
    void Print(const std::string& Text);
    void OpenCheck(const char* File);
    void Paint();

    HINSTANCE Instance = nullptr;
    HWND Window = nullptr;
    HWND LinesWindow = nullptr;
    HWND LinesEdit = nullptr;
    std::vector<HWND> ButtonWindows;
    HDC ScreenDC = nullptr;
    HDC MagnifierDC = nullptr;
    HBITMAP MagnifierBitmap = nullptr;
    HGDIOBJ MagnifierOriginal = nullptr;
    HFONT Font = nullptr;
    HFONT BoldFont = nullptr;
    int Dpi = 96;
    int LineHeight = 16;
    int Width = 0;
    int Height = 0;
    int ButtonsTop = 0;
    bool MagnifierRead = false;

    PickerSession Session;
    std::unique_ptr<CheckWindow> Check;
    Sample Under;
    POINT LastPointer{-1, -1};
    std::vector<Action> Pending; // picks waiting for the window to leave the point
    std::string KeyNote;
    std::string OutputNote;
};

int PickerApp::Run(HINSTANCE InstanceIn, bool CheckAtStart, const char* CheckFile) {
    Instance = InstanceIn;
    // The screen as the program reads it: one device context for the whole screen, held for the run.
    ScreenDC = GetDC(nullptr);
    if (!ScreenDC) {
        MessageBoxA(nullptr,
                    ("The screen cannot be read: GetDC for the whole screen failed (error " +
                     std::to_string(GetLastError()) + ").")
                        .c_str(),
                    "TavoLampPicker - Error", MB_OK | MB_ICONEXCLAMATION);
        return 1;
    }
    MagnifierDC = CreateCompatibleDC(ScreenDC);
    MagnifierBitmap = CreateCompatibleBitmap(ScreenDC, Side, Side);
    MagnifierOriginal = SelectObject(MagnifierDC, MagnifierBitmap);

    WNDCLASSEXA Class{};
    Class.cbSize = sizeof Class;
    Class.lpfnWndProc = &PickerApp::WindowProc;
    Class.hInstance = Instance;
    Class.hIcon = LoadIconA(Instance, MAKEINTRESOURCEA(1));
    Class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    Class.lpszClassName = WindowClass;
    WNDCLASSEXA Lines = Class;
    Lines.lpfnWndProc = &PickerApp::LinesProc;
    Lines.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    Lines.lpszClassName = LinesClass;
    if (!RegisterClassExA(&Class) || !RegisterClassExA(&Lines))
        return 1;

    // On top, without a caption; in the taskbar, so it can be found and closed.
    Window = CreateWindowExA(WS_EX_TOPMOST | WS_EX_APPWINDOW, WindowClass, Title,
                             WS_POPUP | WS_BORDER | WS_CLIPCHILDREN, 0, 0, 100, 100, nullptr, nullptr,
                             Instance, this);
    if (!Window)
        return 1;
    using DpiForWindow = UINT(WINAPI*)(HWND);
    // Windows 10 and later; before that the system's DPI is the monitor's.
    if (auto* Get = reinterpret_cast<DpiForWindow>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow"))))
        Dpi = static_cast<int>(Get(Window));
    else
        Dpi = GetDeviceCaps(ScreenDC, LOGPIXELSX);
    if (Dpi <= 0)
        Dpi = 96;

    int Index = 0;
    for (const ButtonDef& B : Buttons()) {
        const std::string Caption(B.Caption);
        ButtonWindows.push_back(CreateWindowExA(
            0, "BUTTON", Caption.c_str(), WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 10, 10, Window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(FirstButtonId + Index)), Instance, nullptr));
        ++Index;
    }
    MakeFonts();
    Layout();

    std::string Taken;
    int Id = 1;
    for (const HotKey& K : HotKeys)
        if (!RegisterHotKey(Window, Id++, K.Mods, K.Vk))
            Taken += std::string(" ") + K.Name;
    if (!Taken.empty())
        KeyNote = "Held by another program (they act only while this window has the focus):" + Taken;

    Tick();
    ShowWindow(Window, SW_SHOW);
    SetForegroundWindow(Window);
    SetFocus(Window);
    SetTimer(Window, FollowTimer, FollowMs, nullptr);
    if (CheckAtStart)
        OpenCheck(CheckFile);

    MSG Msg;
    while (GetMessageA(&Msg, nullptr, 0, 0) > 0) {
        // Keys pressed in the check window are its own (none of them is a picker key there).
        if (Msg.message == WM_KEYDOWN && Check && Check->Owns(Msg.hwnd) && GetKeyState(VK_CONTROL) >= 0 &&
            Check->TakeKey(CheckWindow::KeyFromVirtualKey(Msg.wParam)))
            continue;
        // The edit box of the lines window keeps its own keys (selecting, Ctrl+C).
        TranslateMessage(&Msg);
        DispatchMessageA(&Msg);
    }
    Check.reset();
    SelectObject(MagnifierDC, MagnifierOriginal);
    DeleteObject(MagnifierBitmap);
    DeleteDC(MagnifierDC);
    ReleaseDC(nullptr, ScreenDC);
    return static_cast<int>(Msg.wParam);
}

void PickerApp::MakeFonts() {
    if (Font)
        DeleteObject(Font);
    if (BoldFont)
        DeleteObject(BoldFont);
    const int Pixels = -MulDiv(9, Dpi, 72);
    Font = CreateFontA(Pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma");
    BoldFont = CreateFontA(Pixels, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma");
    HDC Dc = GetDC(Window);
    const HGDIOBJ Old = SelectObject(Dc, Font);
    TEXTMETRICA Metrics{};
    GetTextMetricsA(Dc, &Metrics);
    LineHeight = Metrics.tmHeight + Metrics.tmExternalLeading;
    SelectObject(Dc, Old);
    ReleaseDC(Window, Dc);
    for (HWND B : ButtonWindows)
        SendMessageA(B, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
}

void PickerApp::Layout() {
    // Readout (magnifier and texts), three lines of status, the help, two rows of buttons.
    const int Margin = Scale(8);
    Width = Scale(440);
    const int Readout = Side * Scale(9) + 2;
    const int Help = static_cast<int>(HelpLines().size()) * LineHeight;
    ButtonsTop = Margin + Readout + Scale(6) + 3 * LineHeight + Scale(6) + Help + Scale(6);
    const int ButtonHeight = LineHeight + Scale(8);
    Height = ButtonsTop + 2 * ButtonHeight + Scale(3) + Margin;
    const int Inner = Width - 2 * Margin;
    int Index = 0;
    for (HWND B : ButtonWindows) {
        // Units 1-8 on the first row, the other six below.
        int X = 0, W = 0, Y = ButtonsTop;
        if (Index < UnitCount) {
            X = Margin + Inner * Index / UnitCount;
            W = Inner * (Index + 1) / UnitCount - Inner * Index / UnitCount - Scale(3);
        } else {
            const int K = Index - UnitCount;
            const int Count = static_cast<int>(ButtonWindows.size()) - UnitCount;
            X = Margin + Inner * K / Count;
            W = Inner * (K + 1) / Count - Inner * K / Count - Scale(3);
            Y += ButtonHeight + Scale(3);
        }
        MoveWindow(B, X, Y, W, ButtonHeight, FALSE);
        ++Index;
    }
    RECT Frame{0, 0, Width, Height};
    AdjustWindowRectEx(&Frame, WS_POPUP | WS_BORDER, FALSE, WS_EX_TOPMOST | WS_EX_APPWINDOW);
    Width = Frame.right - Frame.left;
    Height = Frame.bottom - Frame.top;
    SetWindowPos(Window, nullptr, 0, 0, Width, Height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    LastPointer = POINT{-1, -1};
}

void PickerApp::Tick() {
    const bool Moved = !Session.Held() && FollowPointer();
    ReadUnder();
    // A pick waits while the window may still lie over the point: until it has stayed put for a tick.
    if (!Moved && !CoversPoint() && !Pending.empty()) {
        std::vector<Action> Now;
        Now.swap(Pending);
        for (const Action& A : Now)
            Apply(A);
    }
    InvalidateRect(Window, nullptr, FALSE);
}

void PickerApp::ReadUnder() {
    if (Session.Held()) {
        const Sample Held = Session.HeldPoint();
        Under.X = Held.X;
        Under.Y = Held.Y;
    } else {
        POINT P{};
        if (GetCursorPos(&P)) {
            Under.X = P.x;
            Under.Y = P.y;
        }
    }
    // The program's read: GetPixel on the whole screen, physical pixels, 0x00BBGGRR; a point that no
    // monitor shows is unreadable there too.
    const POINT At{Under.X, Under.Y};
    Under.Colour = MonitorFromPoint(At, MONITOR_DEFAULTTONULL) ? GetPixel(ScreenDC, At.x, At.y) : Unreadable;
    MagnifierRead =
        BitBlt(MagnifierDC, 0, 0, Side, Side, ScreenDC, At.x - Reach, At.y - Reach, SRCCOPY | CAPTUREBLT);
}

bool PickerApp::CoversPoint() const {
    RECT R{};
    GetWindowRect(Window, &R);
    InflateRect(&R, Reach + 2, Reach + 2);
    return PtInRect(&R, POINT{Under.X, Under.Y});
}

bool PickerApp::FollowPointer() {
    POINT P{};
    if (!GetCursorPos(&P))
        return false;
    if (P.x == LastPointer.x && P.y == LastPointer.y)
        return false;
    LastPointer = P;
    MONITORINFO Info{};
    Info.cbSize = sizeof Info;
    RECT Work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (GetMonitorInfoA(MonitorFromPoint(P, MONITOR_DEFAULTTONEAREST), &Info))
        Work = Info.rcWork;
    // More than the magnifier's reach, so the window never lies in what it reads.
    const Corner C =
        PlaceBeside(P.x, P.y, Width, Height, {Work.left, Work.top, Work.right, Work.bottom}, Scale(24));
    RECT Now{};
    GetWindowRect(Window, &Now);
    if (Now.left == C.X && Now.top == C.Y)
        return false;
    SetWindowPos(Window, HWND_TOPMOST, C.X, C.Y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    return true;
}

void PickerApp::Do(const Action& What) {
    const bool Reads = What.Kind == ActionKind::RecordLamp || What.Kind == ActionKind::RecordActive ||
                       What.Kind == ActionKind::RecordOnAir || What.Kind == ActionKind::ToggleHold;
    if (Reads) {
        // What is under the pointer now, not at the last tick; the window moved off it first if need be.
        const bool Moved = !Session.Held() && FollowPointer();
        ReadUnder();
        if (Moved || CoversPoint() || !Pending.empty()) {
            Pending.push_back(What);
            return;
        }
    }
    Apply(What);
}

void PickerApp::Apply(const Action& What) {
    OutputNote.clear();
    const Outcome O = Session.Apply(What, Under);
    switch (O.Do) {
    case Effect::None:
        break;
    case Effect::Copy:
        Copy(O.Text);
        break;
    case Effect::Print:
        Print(O.Text);
        break;
    case Effect::Nudge: {
        POINT P{};
        if (GetCursorPos(&P))
            SetCursorPos(P.x + O.Dx, P.y + O.Dy);
        break;
    }
    case Effect::Check:
        OpenCheck(nullptr);
        break;
    case Effect::Quit:
        DestroyWindow(Window);
        return;
    }
    InvalidateRect(Window, nullptr, FALSE);
}

void PickerApp::Copy(const std::string& Text) {
    if (!CopyToClipboard(Window, Text))
        OutputNote = "The clipboard could not be written (error " + std::to_string(GetLastError()) +
                     "); Enter shows the lines to copy by hand.";
}

void PickerApp::Print(const std::string& Text) {
    WriteStandardOutput(Text);
    const std::string Lines = WithCrLf(Text);
    // A GUI program usually has none: the lines also go to a window of their own, ready to copy.
    if (!LinesWindow) {
        LinesWindow = CreateWindowExA(0, LinesClass, "TavoLampPicker - [TavoGUI] lines", WS_OVERLAPPEDWINDOW,
                                      CW_USEDEFAULT, CW_USEDEFAULT, Scale(380), Scale(260), nullptr, nullptr,
                                      Instance, this);
        LinesEdit =
            CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                            0, 0, 10, 10, LinesWindow,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(LinesEditId)), Instance, nullptr);
        SendMessageA(LinesEdit, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), FALSE);
        RECT Client{};
        GetClientRect(LinesWindow, &Client);
        MoveWindow(LinesEdit, 0, 0, Client.right, Client.bottom, FALSE);
    }
    SetWindowTextA(LinesEdit, Lines.c_str());
    SendMessageA(LinesEdit, EM_SETSEL, 0, -1);
    // Shown without taking the focus from the picker, whose keys may be in use.
    ShowWindow(LinesWindow, SW_SHOWNOACTIVATE);
}

void PickerApp::OpenCheck(const char* File) {
    if (!Check)
        Check = std::make_unique<CheckWindow>(Instance, Dpi);
    if (File)
        Check->OpenFile(File);
    else
        Check->OpenDefault();
}

void PickerApp::Paint() {
    PAINTSTRUCT Ps;
    HDC Target = BeginPaint(Window, &Ps);
    RECT Client{};
    GetClientRect(Window, &Client);
    // Drawn off screen and copied in one go: the window is redrawn at every tick.
    HDC Dc = CreateCompatibleDC(Target);
    HBITMAP Buffer = CreateCompatibleBitmap(Target, Client.right, Client.bottom);
    const HGDIOBJ OldBitmap = SelectObject(Dc, Buffer);
    HBRUSH Background = CreateSolidBrush(RGB(0xF4, 0xF4, 0xEC));
    FillRect(Dc, &Client, Background);
    DeleteObject(Background);

    const int Margin = Scale(8);
    const int Cell = Scale(9);
    // The magnified square, the read point framed in its middle.
    const int MagSize = Side * Cell;
    if (MagnifierRead) {
        SetStretchBltMode(Dc, COLORONCOLOR);
        StretchBlt(Dc, Margin + 1, Margin + 1, MagSize, MagSize, MagnifierDC, 0, 0, Side, Side, SRCCOPY);
    }
    const HGDIOBJ OldBrush = SelectObject(Dc, GetStockObject(NULL_BRUSH));
    const HGDIOBJ OldPen = SelectObject(Dc, GetStockObject(BLACK_PEN));
    Rectangle(Dc, Margin, Margin, Margin + MagSize + 2, Margin + MagSize + 2);
    const int MidX = Margin + 1 + Reach * Cell;
    const int MidY = Margin + 1 + Reach * Cell;
    SelectObject(Dc, GetStockObject(WHITE_PEN));
    Rectangle(Dc, MidX - 1, MidY - 1, MidX + Cell + 1, MidY + Cell + 1);
    SelectObject(Dc, GetStockObject(BLACK_PEN));
    Rectangle(Dc, MidX, MidY, MidX + Cell, MidY + Cell);

    SetBkMode(Dc, TRANSPARENT);
    SetTextColor(Dc, RGB(0, 0, 0));
    const int TextLeft = Margin + MagSize + Scale(12);
    int Y = Margin;
    auto Text = [&](int X, const std::string& S) {
        TextOutA(Dc, X, Y, S.c_str(), static_cast<int>(S.size()));
    };
    const HGDIOBJ OldFont = SelectObject(Dc, BoldFont);
    Text(TextLeft, Session.PositionLine(Under));
    Y += LineHeight;
    // A swatch of the colour as read, then its texts.
    const int Swatch = LineHeight - 2;
    if (Under.Colour <= 0x00FFFFFFu) {
        HBRUSH Brush = CreateSolidBrush(Under.Colour);
        RECT R{TextLeft, Y + 1, TextLeft + Swatch, Y + 1 + Swatch};
        FillRect(Dc, &R, Brush);
        DeleteObject(Brush);
    }
    Rectangle(Dc, TextLeft, Y + 1, TextLeft + Swatch, Y + 1 + Swatch);
    Text(TextLeft + Swatch + Scale(6), Session.ColourLine(Under));
    SelectObject(Dc, Font);
    Y += LineHeight + LineHeight / 2;
    for (const std::string& L : Session.PickLines()) {
        Text(TextLeft, L);
        Y += LineHeight;
    }

    std::string Status = Session.Status();
    if (!OutputNote.empty())
        Status += " " + OutputNote;
    else if (Status.rfind("Printed", 0) == 0)
        Status += " They are in the lines window, ready to copy.";
    if (!KeyNote.empty())
        Status += "\n" + KeyNote;
    RECT StatusRect{Margin, Margin + MagSize + 2 + Scale(6), Client.right - Margin,
                    Margin + MagSize + 2 + Scale(6) + 3 * LineHeight};
    DrawTextA(Dc, Status.c_str(), static_cast<int>(Status.size()), &StatusRect,
              DT_LEFT | DT_TOP | DT_WORDBREAK);
    Y = StatusRect.bottom + Scale(6);
    SetTextColor(Dc, RGB(0x40, 0x40, 0x40));
    for (const std::string_view L : HelpLines()) {
        Text(Margin, std::string(L));
        Y += LineHeight;
    }

    SelectObject(Dc, OldFont);
    SelectObject(Dc, OldPen);
    SelectObject(Dc, OldBrush);
    BitBlt(Target, 0, 0, Client.right, Client.bottom, Dc, 0, 0, SRCCOPY);
    SelectObject(Dc, OldBitmap);
    DeleteObject(Buffer);
    DeleteDC(Dc);
    EndPaint(Window, &Ps);
}

PickerApp* PickerApp::From(HWND Window, UINT Message, LPARAM LParam) {
    if (Message == WM_NCCREATE)
        SetWindowLongPtrA(
            Window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(LParam)->lpCreateParams));
    return reinterpret_cast<PickerApp*>(GetWindowLongPtrA(Window, GWLP_USERDATA));
}

LRESULT CALLBACK PickerApp::WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
    // Until CreateWindowExA has returned, the window's messages take the default course.
    PickerApp* App = From(Window, Message, LParam);
    if (App && App->Window == Window)
        return App->Handle(Message, WParam, LParam);
    return DefWindowProcA(Window, Message, WParam, LParam);
}

LRESULT CALLBACK PickerApp::LinesProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
    PickerApp* App = From(Window, Message, LParam);
    switch (Message) {
    case WM_SIZE:
        if (App && App->LinesEdit)
            MoveWindow(App->LinesEdit, 0, 0, LOWORD(LParam), HIWORD(LParam), TRUE);
        return 0;
    case WM_CLOSE:
        // Kept for the next print.
        ShowWindow(Window, SW_HIDE);
        return 0;
    default:
        return DefWindowProcA(Window, Message, WParam, LParam);
    }
}

LRESULT PickerApp::Handle(UINT Message, WPARAM WParam, LPARAM LParam) {
    switch (Message) {
    case WM_TIMER:
        if (WParam == FollowTimer)
            Tick();
        return 0;
    case WM_HOTKEY: {
        const auto Index = static_cast<std::size_t>(WParam) - 1;
        // While the check is the window in use, the keys are its own.
        if (Index < HotKeys.size() && !(Check && Check->IsActive() && Check->TakeKey(HotKeys[Index].Press)))
            Do(ActionForKey(HotKeys[Index].Press));
        return 0;
    }
    case WM_KEYDOWN:
        // Keys another program holds still arrive here while this window has the focus.
        Do(ActionForKey(FromVirtualKey(WParam)));
        return 0;
    case WM_COMMAND: {
        const int Id = LOWORD(WParam);
        const auto Defs = Buttons();
        if (Id >= FirstButtonId && Id < FirstButtonId + static_cast<int>(Defs.size())) {
            Do(Defs[static_cast<std::size_t>(Id - FirstButtonId)].Does);
            // The keys stay with the window, not with the button clicked.
            SetFocus(Window);
        }
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        Paint();
        return 0;
    case DpiChanged:
        // Moved onto a monitor of another scale: the same look at the new size.
        Dpi = LOWORD(WParam);
        MakeFonts();
        Layout();
        FollowPointer();
        return 0;
    case WM_CLOSE:
        DestroyWindow(Window);
        return 0;
    case WM_DESTROY:
        KillTimer(Window, FollowTimer);
        for (int Id = 1; Id <= static_cast<int>(HotKeys.size()); ++Id)
            UnregisterHotKey(Window, Id);
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(Window, Message, WParam, LParam);
    }
}

} // namespace

int RunPicker(HINSTANCE Instance, bool Check, const char* CheckFile) {
    PickerApp App;
    return App.Run(Instance, Check, CheckFile);
}

} // namespace Tavo::Win32Platform
