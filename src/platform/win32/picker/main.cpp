// TavoLampPicker on Windows: finds the lamp positions and colours for the [TavoGUI] section.

#include "platform/win32/picker/PickerWindow.h"

int WINAPI WinMain(HINSTANCE Instance, HINSTANCE, LPSTR, int) {
    return Tavo::Win32Platform::RunPicker(Instance);
}
