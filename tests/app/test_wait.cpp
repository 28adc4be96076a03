#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include "core/modMain.h"
#include "tests/app/QtApp.h"

namespace {
TEST(WaitMs, DispatchesEventsAndWaitsAtLeastTheTime) {
    TestApp();
    int fired = 0;
    QTimer::singleShot(0, [&] { ++fired; });
    QTimer::singleShot(20, [&] { ++fired; });
    QElapsedTimer clock;
    clock.start();
    WaitMs(60);
    EXPECT_GE(clock.elapsed(), 60);
    EXPECT_EQ(fired, 2);
}

TEST(WaitMs, ZeroOrLessDispatchesNothing) {
    TestApp();
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    WaitMs(0);
    WaitMs(-5);
    EXPECT_FALSE(fired);
    QCoreApplication::processEvents();
    EXPECT_TRUE(fired);
}

TEST(WaitMs, AHandlerMayWaitInsideAWait) {
    TestApp();
    bool innerDone = false;
    QTimer::singleShot(10, [&] {
        WaitMs(80);  // longer than what is left of the outer wait
        innerDone = true;
    });
    QElapsedTimer clock;
    clock.start();
    WaitMs(30);
    EXPECT_TRUE(innerDone);
    EXPECT_GE(clock.elapsed(), 30);
}
}  // namespace
