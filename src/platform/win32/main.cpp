// The Windows program: a tray utility without a window of its own. It takes no command line.

#include <windows.h>

#include <commctrl.h>

#include <exception>
#include <string>

#include "core/Texts.h"
#include "core/modMain.h"
#include "platform/win32/Win32Desktop.h"

namespace {

int ShowUnexpectedError(const char* What) {
    const std::string Text = std::string(Tavo::UnexpectedErrorText) + What;
    MessageBoxA(nullptr, Text.c_str(), Tavo::ErrorTitle, MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
    return 1;
}

} // namespace

int WINAPI WinMain(HINSTANCE /*Instance*/, HINSTANCE /*Previous*/, LPSTR /*CommandLine*/, int /*Show*/) {
    INITCOMMONCONTROLSEX Controls{};
    Controls.dwSize = sizeof Controls; // 8
    Controls.dwICC = ICC_USEREX_CLASSES;
    (void)InitCommonControlsEx(&Controls);
    try {
        Tavo::Win32Platform::Win32Desktop Desk;
        return Tavo::Main(Desk);
    } catch (const std::exception& Error) {
        return ShowUnexpectedError(Error.what());
    } catch (...) {
        return ShowUnexpectedError("unknown error");
    }
}
