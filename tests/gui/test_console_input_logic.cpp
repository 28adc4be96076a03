// The console's input line as logic: which characters count, Backspace,
// Enter and paste, all on PendingInput.
#include <gtest/gtest.h>

#include "app/ConsoleInput.h"
#include "core/Log.h"

namespace {

class ConsoleInputLogic : public ::testing::Test {
protected:
    void SetUp() override { PendingInput().clear(); }
    void TearDown() override { PendingInput().clear(); }
};

TEST_F(ConsoleInputLogic, WhichCodesAreTaken) {
    struct Case {
        char32_t code;
        ConsoleKey result;
        const char* added;
    };
    const Case cases[] = {
        {U' ', ConsoleKey::Changed, " "},         {U'~', ConsoleKey::Changed, "~"},
        {U'A', ConsoleKey::Changed, "A"},         {9, ConsoleKey::Ignored, ""},
        {10, ConsoleKey::Ignored, ""},            {1, ConsoleKey::Ignored, ""},
        {31, ConsoleKey::Ignored, ""},            {127, ConsoleKey::Ignored, ""},
        {0xE4, ConsoleKey::Ignored, ""},          {0xFF, ConsoleKey::Ignored, ""},
        {0x80, ConsoleKey::Ignored, ""},          {0x20AC, ConsoleKey::Ignored, ""},
        {0x2019, ConsoleKey::Ignored, ""},        {0x0178, ConsoleKey::Ignored, ""},
        {0x4E2D, ConsoleKey::Changed, "?"},
        {0x1F600, ConsoleKey::Changed, "?"},      {13, ConsoleKey::Enter, ""},
    };
    for (const Case& c : cases) {
        PendingInput().assign(1, 'x');
        const std::string expected = 'x' + std::string(c.added);
        EXPECT_EQ(ApplyConsoleKey(c.code), c.result) << "code " << static_cast<uint32_t>(c.code);
        EXPECT_EQ(PendingInput(), expected) << "code " << static_cast<uint32_t>(c.code);
    }
}

TEST_F(ConsoleInputLogic, EnterTakesTheTrimmedLine) {
    struct Case {
        const char* pending;
        const char* line;
    };
    const Case cases[] = {
        {"  VERSION  ", "VERSION"}, {"", ""}, {"   ", ""}, {"a b", "a b"}, {"\tX ", "\tX"},
    };
    for (const Case& c : cases) {
        PendingInput() = c.pending;
        EXPECT_EQ(TakeConsoleLine(), c.line) << '"' << c.pending << '"';
        EXPECT_EQ(PendingInput(), "");
    }
}

}  // namespace
