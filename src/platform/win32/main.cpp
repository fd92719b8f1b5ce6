// The Windows program: a tray utility without a window of its own.

#include <windows.h>

#include <exception>
#include <string>

#include "app/Texts.h"
#include "app/frmMain.h"
#include "platform/win32/SingleInstance.h"
#include "platform/win32/Win32Desktop.h"

int WINAPI WinMain(HINSTANCE /*Instance*/, HINSTANCE /*Previous*/, LPSTR /*CommandLine*/, int /*Show*/) {
    if (!Tavo::Win32::ClaimSingleInstance()) {
        MessageBoxA(nullptr, "TavoRouterControl is already running.", "TavoRouterControl",
                    MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
        return 0;
    }
    try {
        Tavo::Win32::Win32Desktop Desk;
        return Tavo::Main(Desk);
    } catch (const std::exception& Error) {
        const std::string Text =
            std::string("TavoRouterControl stopped after an unexpected error: ") + Error.what();
        MessageBoxA(nullptr, Text.c_str(), Tavo::ErrorTitle, MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND);
        return 1;
    }
}
