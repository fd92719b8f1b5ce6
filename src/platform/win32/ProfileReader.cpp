#include "platform/win32/ProfileReader.h"

#include <windows.h>

namespace Tavo::Win32Platform {

std::string ReadProfileString(const std::string& Section, const std::string& Key, const std::string& File,
                              const std::string& Default) {
    std::string LowerKey = Key;
    CharLowerBuffA(LowerKey.data(), static_cast<DWORD>(LowerKey.size()));
    char Buffer[750] = {};
    const DWORD Count = GetPrivateProfileStringA(Section.c_str(), LowerKey.c_str(), Default.c_str(), Buffer,
                                                 sizeof Buffer, File.c_str());
    return std::string(Buffer, Count);
}

} // namespace Tavo::Win32Platform
