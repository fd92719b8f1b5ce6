// TavoLampPicker on Windows: finds the lamp positions and colours for the [TavoGUI] section, and checks
// the settings file. TavoLampPicker --check [FILE] opens the check at once.

#include <cstdlib>
#include <cstring>

#include "platform/win32/picker/PickerWindow.h"

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE, LPSTR, int) {
    bool Check = false;
    const char* File = nullptr;
    for (int I = 1; I < __argc; ++I) {
        if (std::strcmp(__argv[I], "--check") == 0 || std::strcmp(__argv[I], "/check") == 0)
            Check = true;
        else if (Check && !File)
            File = __argv[I];
    }
    return Tavo::Win32Platform::RunPicker(Instance, Check, File);
}
