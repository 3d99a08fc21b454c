// Ports closing side by side, each woken by the same signal while its close
// waits on a stalled far end.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>

#include "serial/closeinterrupted-posix.h"

namespace {

volatile std::sig_atomic_t ownHandlerRan = 0;

// The first close to end must not leave the other's wake-ups to the
// signal's default action, and the last puts the program's own handler back.
TEST(CloseWakeups, EachOverlappingCloseIsWokenAndTheOwnHandlerComesBack)
{
    if (CloseWakeupHandler::Signal() == 0)
        GTEST_SKIP() << "closes are not woken on this system";
    EXPECT_EXIT(
        {
            std::signal(CloseWakeupHandler::Signal(), [](int) { ownHandlerRan = 1; });
            auto first = std::make_unique<CloseWakeupHandler>();
            auto second = std::make_unique<CloseWakeupHandler>();
            first.reset();
            std::raise(CloseWakeupHandler::Signal()); // the second close's wake-up
            const bool quiet = second->Installed() && ownHandlerRan == 0;
            second.reset();
            std::raise(CloseWakeupHandler::Signal());
            std::exit(quiet && ownHandlerRan == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
