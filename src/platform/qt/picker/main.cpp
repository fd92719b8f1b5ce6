// TavoLampPicker on Linux: finds the lamp positions and colours for the [TavoGUI] section.

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/qt/ScreenReader.h"
#include "platform/qt/picker/PickerWindow.h"
#include "platform/qt/picker/X11Input.h"

namespace {

const char* const Usage =
    "usage: TavoLampPicker [--check [FILE]]\n"
    "\n"
    "Shows the screen position and colour under the pointer, as TavoRouterControl reads them, and\n"
    "records lamps and colours with keys:\n"
    "  1-8        the point under the pointer is that unit's lamp\n"
    "  A, O       the colour under the pointer is the active / on-air colour\n"
    "  Arrows     move the pointer one pixel        Backspace  undo the last pick\n"
    "  Space      hold the window still to use its buttons, or follow again\n"
    "  C          copy the [TavoGUI] lines to the clipboard\n"
    "  Enter, P   print them on standard output\n"
    "  K          check the settings file: each unit's address and one connection attempt (nothing\n"
    "             is sent), each lamp's colour now, the selection, and what to fix first\n"
    "  Esc        quit\n"
    "The keys act wherever the pointer is while the picker runs.\n"
    "\n"
    "--check [FILE] opens the check at once, of FILE or of the file TavoRouterControl beside the picker\n"
    "reads. The check prints its report on standard output once the units are checked, and each lamp\n"
    "or selection line again as it changes.\n";

} // namespace

int main(int argc, char** argv) {
    bool Check = false;
    const char* CheckFile = nullptr;
    for (int I = 1; I < argc; ++I) {
        if (std::strcmp(argv[I], "--help") == 0 || std::strcmp(argv[I], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[I], "--check") == 0 && !Check) {
            Check = true;
            if (I + 1 < argc && argv[I + 1][0] != '-')
                CheckFile = argv[++I];
            continue;
        }
        std::fprintf(stderr, "TavoLampPicker: unknown argument \"%s\" (see --help).\n", argv[I]);
        return 2;
    }
    // The lamps are read from the X screen, so Qt runs on that display too.
    const char* Platform = std::getenv("QT_QPA_PLATFORM");
    const char* DisplayName = std::getenv("DISPLAY");
    if ((!Platform || !*Platform) && DisplayName && *DisplayName)
        setenv("QT_QPA_PLATFORM", "xcb", 1);

    QApplication App(argc, argv);
    std::string Problem;
    Tavo::QtPlatform::ScreenReader Screen;
    Tavo::QtPlatform::X11Input Input;
    if (!Screen.Open(nullptr, Problem) || !Input.Open(Problem)) {
        std::fprintf(stderr, "TavoLampPicker: the screen cannot be read: %s\n", Problem.c_str());
        return 1;
    }
    Tavo::QtPlatform::PickerWindow Window(Screen, Input);
    Window.show();
    Window.activateWindow();
    if (Check)
        Window.OpenCheck(CheckFile);
    return QApplication::exec();
}
