// The Qt layer's tests run on the display the runner gives them, with one QApplication for all.

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("XDG_SESSION_TYPE");
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1); // the tray must be the X one the tests start
    const auto Runtime =
        std::filesystem::temp_directory_path() / ("tavo-qt-tests-" + std::to_string(getpid()));
    std::filesystem::create_directories(Runtime);
    std::filesystem::permissions(Runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", Runtime.c_str(), 1);
    std::unique_ptr<QApplication> App;
    if (!std::getenv("TAVO_QT_TESTS_NO_APP"))
        App = std::make_unique<QApplication>(argc, argv);
    const int Result = RUN_ALL_TESTS();
    App.reset();
    std::filesystem::remove_all(Runtime);
    return Result;
}
