// The program's entry on Linux: Qt for the desktop, X11 for the screen.

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>

#include "core/Texts.h"
#include "core/Version.h"
#include "core/modMain.h"
#include "platform/qt/CheckCommand.h"
#include "platform/qt/QtDesktop.h"

namespace {

const char* const Usage =
    "usage: TavoRouterControl [--help | --version | --check [FILE]]\n"
    "\n"
    "Watches the unit indicator lamps of the remote-control panel on the X screen and, whenever the\n"
    "selected unit changes, sends that unit the GP-out control block over its TCP connection. It runs\n"
    "in the tray, without a window; problems are shown in message boxes, and one line per connection\n"
    "change and selection outcome goes to standard error.\n"
    "\n"
    "Settings: <name>.ini beside the program (<name> is the program's file name), or else\n"
    "$XDG_CONFIG_HOME/TavoRouterControl/<name>.ini (default ~/.config/TavoRouterControl/<name>.ini).\n"
    "\n"
    "  --help          this text\n"
    "  --version       the version\n"
    "  --check [FILE]  check the settings file (by default the one the program reads) beside a running\n"
    "                  program: each unit's address and one connection attempt (nothing is sent), each\n"
    "                  lamp's position and colour now, the selection, and what to fix first. Exit status\n"
    "                  0 when every unit connected and every lamp lies on a monitor, 1 when something is\n"
    "                  to fix, 2 when the file cannot be used. Without a display only the units are "
    "checked.\n";

bool EnvironmentSet(const char* Name) {
    const char* Value = std::getenv(Name);
    return Value && *Value;
}

} // namespace

int main(int argc, char** argv) {
    for (int I = 1; I < argc; ++I) {
        if (std::strcmp(argv[I], "--help") == 0 || std::strcmp(argv[I], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (std::strcmp(argv[I], "--version") == 0) {
            std::printf(
                "%s\n",
                Tavo::VersionTextOf(Tavo::VersionMajor, Tavo::VersionMinor, Tavo::VersionRevision).c_str());
            return 0;
        }
        if (std::strcmp(argv[I], "--check") == 0) {
            if (argc > I + 2) {
                std::fputs("TavoRouterControl: --check takes one settings file at most (see --help)\n",
                           stderr);
                return 2;
            }
            return Tavo::QtPlatform::RunSettingsCheck(argc, argv, I + 1 < argc ? argv[I + 1] : nullptr);
        }
        // Single-dash options are Qt's own (a session manager may pass them); ours have two dashes.
        if (std::strncmp(argv[I], "--", 2) == 0) {
            std::fprintf(stderr, "TavoRouterControl: unknown option %s (see --help)\n", argv[I]);
            return 2;
        }
    }

    // The indicators are read from the X screen, so with an X display at hand Qt runs on it too (under
    // XWayland as well, where the reads are reported as limited). Without any display Qt would abort
    // with advice about reinstalling; say what is wrong instead.
    if (!EnvironmentSet("QT_QPA_PLATFORM") && EnvironmentSet("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (!EnvironmentSet("WAYLAND_DISPLAY") || EnvironmentSet("DISPLAY")) {
        std::string Problem;
        if (!Tavo::QtPlatform::ScreenReader::DisplayOpens(Problem)) {
            std::fprintf(stderr, "TavoRouterControl: %s It runs on the desktop of an X11 session.\n",
                         Problem.c_str());
            return 1;
        }
    }
    // Without a session bus Qt would launch one of its own, a daemon that listens on a socket and
    // writes files; the program needs none (its tray icon then docks over XEmbed).
    if (!EnvironmentSet("DBUS_SESSION_BUS_ADDRESS"))
        setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);

    // A fixed threshold keeps large transient buffers (a unit's burst of data) in their own mappings,
    // which go back to the system when freed; glibc would otherwise raise the threshold after the first
    // such buffer and keep later ones in the heap for good.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    QApplication App(argc, argv);
    Tavo::QtPlatform::QtDesktop Desk;
    return Tavo::Main(Desk);
}
