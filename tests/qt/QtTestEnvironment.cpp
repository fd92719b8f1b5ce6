#include "QtTestEnvironment.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "XvfbServer.h"

namespace Tavo::Testing {

namespace {

std::string Display;

class QtEnvironment final : public ::testing::Environment {
  public:
    void SetUp() override {
        Server = std::make_unique<XvfbServer>("1280x1024x24");
        ASSERT_TRUE(Server->Running()) << Server->Problem();
        Display = Server->DisplayName();
        setenv("DISPLAY", Display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        unsetenv("WAYLAND_DISPLAY");
        unsetenv("XDG_SESSION_TYPE");
        unsetenv("DBUS_SESSION_BUS_ADDRESS"); // the tray must be the X one the tests start
        char Template[] = "/tmp/tavo-qt-runtime-XXXXXX";
        if (mkdtemp(Template))
            RuntimeDir = Template;
        setenv("XDG_RUNTIME_DIR", RuntimeDir.c_str(), 1);
        App = std::make_unique<QApplication>(Argc, Argv);
    }
    void TearDown() override {
        App.reset();
        Server.reset();
        if (!RuntimeDir.empty())
            std::system(("rm -rf '" + RuntimeDir + "'").c_str());
    }

  private:
    int Argc = 1;
    char Name[16] = "TavoQtTests";
    char* Argv[2] = {Name, nullptr};
    std::unique_ptr<XvfbServer> Server;
    std::unique_ptr<QApplication> App;
    std::string RuntimeDir;
};

[[maybe_unused]] ::testing::Environment* const Registered =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

const std::string& TestDisplay() {
    return Display;
}

} // namespace Tavo::Testing
