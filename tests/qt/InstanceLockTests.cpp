// One running copy per executable file: the claim, its refusal, and its release.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "QtTestEnvironment.h"
#include "platform/qt/InstanceLock.h"

namespace Tavo::Testing {
namespace {

using QtPlatform::InstanceLock;
using Result = InstanceLock::Result;

TEST(InstanceLock, SecondClaimOfTheSameFileIsRefusedOtherFilesRun) {
    const std::string Here = "/opt/tavo/TavoRouterControl";
    auto First = std::make_unique<InstanceLock>();
    ASSERT_EQ(First->Claim(Here, TestDisplay().c_str()), Result::Claimed);

    struct Case {
        const char* Path;
        Result Expected;
    };
    const Case Cases[] = {
        {"/opt/tavo/TavoRouterControl", Result::AlreadyRunning},
        {"/opt/tavo/TavoRouterControl2", Result::Claimed},
        {"/opt/other/TavoRouterControl", Result::Claimed},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Path);
        InstanceLock Second;
        EXPECT_EQ(Second.Claim(C.Path, TestDisplay().c_str()), C.Expected);
    }
    EXPECT_NE(InstanceLock::SelectionName(Here), InstanceLock::SelectionName(Here + "2"));

    // Without an X server there is nothing to claim against.
    InstanceLock Nowhere;
    EXPECT_EQ(Nowhere.Claim(Here, ":4242"), Result::NoDisplay);

    // The first copy ends: the file may run again (the server notices the closed connection shortly).
    First.reset();
    Result Again = Result::AlreadyRunning;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Again != Result::Claimed && std::chrono::steady_clock::now() < Deadline) {
        InstanceLock Later;
        Again = Later.Claim(Here, TestDisplay().c_str());
        if (Again != Result::Claimed)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(Again, Result::Claimed) << "the claim outlived the copy that made it";
}

} // namespace
} // namespace Tavo::Testing
