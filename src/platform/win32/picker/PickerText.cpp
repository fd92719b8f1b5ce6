#include "platform/win32/picker/PickerText.h"

namespace Tavo::Win32Platform {

std::string WithCrLf(const std::string& Text) {
    std::string Out;
    Out.reserve(Text.size() + 16);
    for (const char C : Text) {
        if (C == '\n')
            Out += '\r';
        Out += C;
    }
    return Out;
}

void WriteStandardOutput(const std::string& Text) {
    const std::string Lines = WithCrLf(Text);
    const HANDLE Out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (Out && Out != INVALID_HANDLE_VALUE) {
        DWORD Written = 0;
        WriteFile(Out, Lines.data(), static_cast<DWORD>(Lines.size()), &Written, nullptr);
        FlushFileBuffers(Out);
    }
}

bool CopyToClipboard(HWND Owner, const std::string& Text) {
    const std::string Lines = WithCrLf(Text);
    bool Done = false;
    if (OpenClipboard(Owner)) {
        EmptyClipboard();
        if (HGLOBAL Memory = GlobalAlloc(GMEM_MOVEABLE, Lines.size() + 1)) {
            if (void* Bytes = GlobalLock(Memory)) {
                CopyMemory(Bytes, Lines.c_str(), Lines.size() + 1);
                GlobalUnlock(Memory);
                Done = SetClipboardData(CF_TEXT, Memory) != nullptr;
            }
            if (!Done)
                GlobalFree(Memory);
        }
        CloseClipboard();
    }
    return Done;
}

} // namespace Tavo::Win32Platform
