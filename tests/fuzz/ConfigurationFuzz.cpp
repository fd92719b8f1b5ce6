// Loading a whole settings file made of arbitrary bytes: it loads with values in range, or it stops
// with a fatal error; nothing else.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "FakeDesktop.h"
#include "core/IniFile.h"
#include "core/frmMain.h"

namespace {

// The file under test lives in a folder of the run's own, below the current one, gone at exit.
const std::filesystem::path& Folder() {
    static const std::filesystem::path Made = [] {
        const std::filesystem::path Path =
            std::filesystem::current_path() / ("fuzz-work-" + std::to_string(getpid()));
        std::filesystem::create_directories(Path);
        std::atexit([] {
            std::error_code Ignored;
            std::filesystem::remove_all(Folder(), Ignored);
        });
        return Path;
    }();
    return Made;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::filesystem::path& Folder = ::Folder();
    {
        std::ofstream Out(Folder / "TavoRouterControl.ini", std::ios::binary | std::ios::trunc);
        Out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
    }
    Tavo::Testing::FakeDesktop Desk;
    Desk.Folder = Folder.string();
    Tavo::frmMain Form(Desk);
    try {
        Form.LoadConfiguration();
    } catch (const Tavo::FatalError& Error) {
        if (std::string(Error.what()).find("TavoRouterControl.ini") == std::string::npos)
            std::abort(); // every fatal message names the file
        return 0;
    }
    if (Form.Settings.ActiveColor > 0x00FFFFFFu || Form.Settings.OnAirColor > 0x00FFFFFFu)
        std::abort();
    for (int Unit = 1; Unit <= Tavo::UnitCount; ++Unit)
        if (Form.UnitTable[Unit].UnitAddress.size() > Tavo::IniValueLimit)
            std::abort();
    if (Desk.Boxes.size() > 2)
        std::abort(); // at most the version warning and the one for a file without units

    return 0;
}
