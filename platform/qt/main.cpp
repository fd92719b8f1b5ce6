// The program's entry on Linux: Qt for the desktop, X11 for the screen.

#include <QApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>
#include <malloc.h>

#include "app/frmMain.h"
#include "platform/qt/InstanceLock.h"
#include "platform/qt/QtDesktop.h"

int main(int argc, char** argv) {
    // A fixed threshold keeps large transient buffers (a unit's burst of data) in their own mappings,
    // which go back to the system when freed; glibc would otherwise raise the threshold after the first
    // such buffer and keep later ones in the heap for good.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    // The indicators are read from the X screen, so with an X display at hand Qt runs on it too (under
    // XWayland as well, where the reads are reported as limited).
    const char* Platform = std::getenv("QT_QPA_PLATFORM");
    const char* Display = std::getenv("DISPLAY");
    if ((!Platform || !*Platform) && Display && *Display)
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    // Without a session bus Qt would launch one of its own, a daemon that listens on a socket and
    // writes files; the program needs none (its tray icon then docks over XEmbed).
    const char* SessionBus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (!SessionBus || !*SessionBus)
        setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);

    QApplication App(argc, argv);
    Tavo::QtPlatform::QtDesktop Desk;

    // Held until the process ends; without any X display there is nothing to claim and the program runs.
    static Tavo::QtPlatform::InstanceLock Instance;
    const QString Path = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    if (Instance.Claim(QFile::encodeName(Path).toStdString()) ==
        Tavo::QtPlatform::InstanceLock::Result::AlreadyRunning) {
        Desk.ShowMessageBox(std::string(Tavo::ProductName) + " is already running.", Tavo::ProductName,
                            Tavo::BoxIcon::Information);
        return 0;
    }
    return Tavo::Main(Desk);
}
