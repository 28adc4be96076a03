// The engine's windows live for the whole process and are never torn down;
// the process ends at once, as the engine's own does, instead of running
// static destructors over windows that outlive the application object.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(nullptr);
    std::_Exit(result);
}
