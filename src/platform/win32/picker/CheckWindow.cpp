#include "platform/win32/picker/CheckWindow.h"

#include <winsock2.h>

#include <commdlg.h>

#include <functional>
#include <optional>

#include "core/modTCP.h"
#include "platform/win32/InstanceLock.h"
#include "platform/win32/ProfileReader.h"
#include "platform/win32/picker/PickerText.h"

namespace Tavo::Win32Platform {

namespace {

constexpr char CheckClass[] = "TavoLampPickerCheck";
constexpr UINT_PTR LiveTimer = 1;
constexpr UINT LiveMs = 200;
constexpr int FirstButtonId = 300;
constexpr int TextId = 299;
// A unit's result, from its check thread: LPARAM owns a std::function to run here.
constexpr UINT ResultMessage = WM_APP + 17;

std::wstring Wide(const std::string& Text) {
    std::wstring Out(Text.size() + 1, L'\0');
    const int Length =
        MultiByteToWideChar(CP_ACP, 0, Text.c_str(), -1, Out.data(), static_cast<int>(Out.size()));
    Out.resize(Length > 0 ? static_cast<std::size_t>(Length - 1) : 0);
    return Out;
}

std::string FullPath(const std::string& File) {
    char Full[MAX_PATH * 4] = {};
    const DWORD Length = GetFullPathNameA(File.c_str(), sizeof Full, Full, nullptr);
    return Length > 0 && Length < sizeof Full ? std::string(Full, Length) : File;
}

bool IsFile(const std::string& Path) {
    const DWORD Attributes = GetFileAttributesA(Path.c_str());
    return Attributes != INVALID_FILE_ATTRIBUTES && !(Attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FolderOf(const std::string& Path) {
    const std::size_t Slash = Path.find_last_of("\\/");
    return Slash == std::string::npos ? std::string(".") : Path.substr(0, Slash);
}

// The executable that reads File (named after it, beside it), else the program beside the picker: the
// path by its long name, as the program's own mark is named.
std::optional<bool> ProgramRunning(const std::string& File, const std::string& PickerFolder,
                                   std::string& Name) {
    std::string Program = FolderOf(File) + "\\" + BaseNameOf(File) + ".exe";
    if (!IsFile(Program))
        Program = PickerFolder + "\\" + ProductName + ".exe";
    if (!IsFile(Program))
        return std::nullopt;
    Name = BaseNameOf(Program);
    std::wstring Path = Wide(FullPath(Program));
    std::wstring Long(Path.size() + MAX_PATH, L'\0');
    const DWORD Length = GetLongPathNameW(Path.c_str(), Long.data(), static_cast<DWORD>(Long.size()));
    if (Length > 0 && Length < Long.size())
        Path.assign(Long.c_str(), Length);
    return InstanceLock::IsClaimed(Path);
}

} // namespace

CheckWindow::CheckWindow(HINSTANCE InstanceIn, int DpiIn) : Instance(InstanceIn), Dpi(DpiIn) {
    // The unit checks' sockets; started once, and left to the process's end as the program does.
    WSADATA Data{};
    const bool Network = WSAStartup(MAKEWORD(2, 2), &Data) == 0;
    char Module[MAX_PATH * 4] = {};
    const DWORD Length = GetModuleFileNameA(nullptr, Module, sizeof Module);
    PickerFolder = FolderOf(std::string(Module, Length));
    std::string Problem;
    const bool ScreenOpen = Screen.Open(Problem);

    View = std::make_unique<Picker::CheckView>(Picker::CheckHooks{
        &ReadProfileString,
        [this](std::function<void()> Result) {
            auto* Owned = new std::function<void()>(std::move(Result));
            if (!PostMessageA(Window, ResultMessage, 0, reinterpret_cast<LPARAM>(Owned)))
                delete Owned;
        },
        Network ? Resolver(&modTCP::ResolveHostname)
                : Resolver([](const std::string&) { return std::string(); }),
        [this](const std::string& File, std::string& Name) {
            return ProgramRunning(File, PickerFolder, Name);
        },
        ScreenOpen ? &Screen : nullptr, Problem, [this](bool Complete) { OnUnitsChanged(Complete); }});

    WNDCLASSEXA Class{};
    Class.cbSize = sizeof Class;
    Class.lpfnWndProc = &CheckWindow::WindowProc;
    Class.hInstance = Instance;
    Class.hIcon = LoadIconA(Instance, MAKEINTRESOURCEA(1));
    Class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    Class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    Class.lpszClassName = CheckClass;
    RegisterClassExA(&Class);
    // On top, like the picker: beside the panel while the operator selects one unit after another.
    Window = CreateWindowExA(WS_EX_TOPMOST, CheckClass, "TavoLampPicker - settings check",
                             WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, Scale(760), Scale(460),
                             nullptr, nullptr, Instance, this);
    Font = CreateFontA(-MulDiv(9, Dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FIXED_PITCH | FF_MODERN,
                       "Consolas");
    ButtonFont = CreateFontA(-MulDiv(9, Dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             DEFAULT_PITCH | FF_SWISS, "Tahoma");
    Text = CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "",
                           WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                           0, 0, 10, 10, Window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(TextId)),
                           Instance, nullptr);
    SendMessageA(Text, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
    int Index = 0;
    for (const Picker::CheckButtonDef& B : Picker::CheckButtons()) {
        const std::string Caption(B.Caption);
        HWND Button = CreateWindowExA(
            0, "BUTTON", Caption.c_str(), WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 10, 10, Window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(FirstButtonId + Index++)), Instance, nullptr);
        SendMessageA(Button, WM_SETFONT, reinterpret_cast<WPARAM>(ButtonFont), FALSE);
        ButtonWindows.push_back(Button);
    }
    Layout();
    SetTimer(Window, LiveTimer, LiveMs, nullptr);
}

CheckWindow::~CheckWindow() {
    View.reset(); // no result of a unit check comes after this
    if (Window)
        DestroyWindow(Window);
    DeleteObject(Font);
    DeleteObject(ButtonFont);
}

void CheckWindow::OpenDefault() {
    Open({PickerFolder + "\\" + ProductName + ".ini"});
}

void CheckWindow::OpenFile(const std::string& File) {
    Open({FullPath(File)});
}

void CheckWindow::Open(const std::vector<std::string>& Candidates) {
    View->Open(Candidates);
    ShowWindow(Window, SW_SHOW);
    SetForegroundWindow(Window);
    ShowReport();
    if (View->Complete())
        WriteStandardOutput(View->Text());
}

bool CheckWindow::IsActive() const {
    const HWND Foreground = GetForegroundWindow();
    return IsWindowVisible(Window) && (Owns(Foreground) || Owns(GetActiveWindow()));
}

bool CheckWindow::Owns(HWND Other) const {
    return Other && (Other == Window || IsChild(Window, Other));
}

Picker::KeyPress CheckWindow::KeyFromVirtualKey(WPARAM Vk) {
    if (Vk >= 'A' && Vk <= 'Z')
        return {Picker::KeyName::Character, static_cast<char>(Vk - 'A' + 'a')};
    if (Vk == VK_RETURN)
        return {Picker::KeyName::Enter, 0};
    if (Vk == VK_ESCAPE)
        return {Picker::KeyName::Escape, 0};
    return {};
}

bool CheckWindow::TakeKey(const Picker::KeyPress& Key) {
    const Picker::CheckCommand Command = Picker::CheckCommandForKey(Key);
    if (Command == Picker::CheckCommand::None)
        return false;
    Do(Command);
    return true;
}

void CheckWindow::OnUnitsChanged(bool Complete) {
    ShowReport();
    if (Complete)
        WriteStandardOutput(View->Text());
}

void CheckWindow::ShowReport() {
    const std::string Now = WithCrLf(View->Text());
    if (Now == Shown)
        return;
    Shown = Now;
    // Redrawn in place: the reader keeps the part of the report looked at.
    const LRESULT First = SendMessageA(Text, EM_GETFIRSTVISIBLELINE, 0, 0);
    SetWindowTextA(Text, Shown.c_str());
    SendMessageA(Text, EM_LINESCROLL, 0, First);
}

void CheckWindow::Do(Picker::CheckCommand Command) {
    switch (Command) {
    case Picker::CheckCommand::None:
        break;
    case Picker::CheckCommand::RunAgain:
        View->CheckUnitsAgain();
        ShowReport();
        break;
    case Picker::CheckCommand::Copy:
        if (!CopyToClipboard(Window, View->Text()))
            MessageBoxA(Window,
                        ("The clipboard could not be written (error " + std::to_string(GetLastError()) +
                         "); select the report and press Ctrl+C.")
                            .c_str(),
                        "TavoLampPicker - Error", MB_OK | MB_ICONEXCLAMATION);
        break;
    case Picker::CheckCommand::Print:
        WriteStandardOutput(View->Text());
        break;
    case Picker::CheckCommand::OpenFile: {
        char Chosen[MAX_PATH * 4] = {};
        OPENFILENAMEA Dialog{};
        Dialog.lStructSize = sizeof Dialog;
        Dialog.hwndOwner = Window;
        Dialog.lpstrFilter = "Settings files (*.ini)\0*.ini\0All files\0*.*\0";
        Dialog.lpstrFile = Chosen;
        Dialog.nMaxFile = sizeof Chosen;
        Dialog.lpstrInitialDir = PickerFolder.c_str();
        Dialog.lpstrTitle = "Settings file to check";
        Dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
        if (GetOpenFileNameA(&Dialog))
            OpenFile(Chosen);
        break;
    }
    case Picker::CheckCommand::Close:
        ShowWindow(Window, SW_HIDE);
        break;
    }
}

void CheckWindow::Layout() {
    RECT Client{};
    GetClientRect(Window, &Client);
    const int Margin = Scale(6);
    const int ButtonHeight = Scale(26);
    const int Inner = Client.right - 2 * Margin;
    const int Count = static_cast<int>(ButtonWindows.size());
    const int ButtonsTop = Client.bottom - Margin - ButtonHeight;
    MoveWindow(Text, Margin, Margin, Inner, ButtonsTop - 2 * Margin, TRUE);
    for (int I = 0; I < Count; ++I) {
        const int X = Margin + Inner * I / Count;
        const int W = Inner * (I + 1) / Count - Inner * I / Count - Scale(4);
        MoveWindow(ButtonWindows[static_cast<std::size_t>(I)], X, ButtonsTop, W, ButtonHeight, TRUE);
    }
}

LRESULT CALLBACK CheckWindow::WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
    if (Message == WM_NCCREATE)
        SetWindowLongPtrA(
            Window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(LParam)->lpCreateParams));
    auto* Self = reinterpret_cast<CheckWindow*>(GetWindowLongPtrA(Window, GWLP_USERDATA));
    if (Self && Self->Window == Window)
        return Self->Handle(Message, WParam, LParam);
    if (Message == ResultMessage)
        delete reinterpret_cast<std::function<void()>*>(LParam); // its window is on its way out
    return DefWindowProcA(Window, Message, WParam, LParam);
}

LRESULT CheckWindow::Handle(UINT Message, WPARAM WParam, LPARAM LParam) {
    switch (Message) {
    case ResultMessage: {
        const std::unique_ptr<std::function<void()>> Result(reinterpret_cast<std::function<void()>*>(LParam));
        (*Result)();
        return 0;
    }
    case WM_TIMER:
        if (WParam == LiveTimer && IsWindowVisible(Window)) {
            Screen.ForgetLayout(); // monitors rearranged meanwhile count at once
            for (const std::string& Line : View->RefreshLamps())
                WriteStandardOutput(Line + "\n");
            ShowReport();
        }
        return 0;
    case WM_COMMAND: {
        const int Id = LOWORD(WParam);
        const auto Defs = Picker::CheckButtons();
        if (Id >= FirstButtonId && Id < FirstButtonId + static_cast<int>(Defs.size()))
            Do(Defs[static_cast<std::size_t>(Id - FirstButtonId)].Does);
        return 0;
    }
    case WM_SIZE:
        Layout();
        return 0;
    case WM_CLOSE:
        ShowWindow(Window, SW_HIDE); // kept for the next check
        return 0;
    case WM_DESTROY:
        KillTimer(Window, LiveTimer);
        Window = nullptr;
        return 0;
    default:
        return DefWindowProcA(Window, Message, WParam, LParam);
    }
}

} // namespace Tavo::Win32Platform
