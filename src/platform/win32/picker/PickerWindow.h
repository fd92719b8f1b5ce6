#pragma once
// The picker's window on Windows: follows the pointer, shows the point and colour under it as the
// program reads them (GetPixel on the screen, physical pixels), and turns keys and buttons into picks.

#include <windows.h>

namespace Tavo::Win32Platform {

// Creates the window and runs until the user quits; the process exit code. Check: the settings check
// opens at once, of CheckFile (null: the file beside the picker).
int RunPicker(HINSTANCE Instance, bool Check, const char* CheckFile);

} // namespace Tavo::Win32Platform
