// Settings-file reading where the system has no profile reader of its own.

#include "config/modAPI.h"

#include <fstream>
#include <iterator>

#include "config/IniFile.h"

namespace Tavo::modAPI {

std::string ReadIniString(const std::string& Section, const std::string& Key, const std::string& File,
                          const std::string& Default) {
    std::string LowerKey = Key;
    for (char& C : LowerKey)
        if (C >= 'A' && C <= 'Z')
            C = static_cast<char>(C - 'A' + 'a');
    std::ifstream In(File, std::ios::binary);
    const std::string Contents = In ? std::string(std::istreambuf_iterator<char>(In), {}) : std::string();
    return ReadIniValue(Contents, Section, LowerKey, Default);
}

} // namespace Tavo::modAPI
