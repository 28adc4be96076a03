#pragma once
// Shared set-up of the window tests: one QApplication for the program, the
// engine's process-wide state reset before each test, message boxes answered
// by the test and the queue held still so queued commands can be inspected.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <QApplication>

#include "core/Log.h"
#include "core/MessageBox.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "protocol/modCommandQueueManager.h"

inline void EnsureApplication() {
    static int argc = 1;
    static char name[] = "kiv_gui_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: windows loaded for the life of the process (the
    // console) must not outlive the application object at exit.
    if (!QApplication::instance()) new QApplication(argc, argv);
}

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApplication();
        Settings = SettingsData{};
        FatalError = OnAir = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
        ConsoleShown = false;
        SetStopOperationHook({});
        SetMessageBoxHandler([this](const MsgRequest& request) {
            asked.push_back(request);
            return answer;
        });
        // Empties the queue, then stops the timer: commands stay where the
        // test can see them until it runs a tick itself.
        InitCommandQueue();
        SetQueueTimerEnabled(false);
        logStart = ConsoleText().size();
    }
    void TearDown() override { SetMessageBoxHandler({}); }

    // The log written since the test began.
    std::string NewLog() const { return ConsoleText().substr(logStart); }
    bool Logged(const std::string& text) const { return NewLog().find(text) != std::string::npos; }

    // The queued commands as "prefix command parameter|session|terminator".
    static std::vector<std::string> Queued() {
        std::vector<std::string> out;
        for (const CommandRecord& r : CommandQueue())
            out.push_back(r.prefix + " " + r.command + (r.parameter.empty() ? "" : " " + r.parameter) + "|" +
                          std::to_string(r.session) + "|" + r.terminator);
        return out;
    }

    MsgAnswer answer = MsgAnswer::Yes;
    std::vector<MsgRequest> asked;
    size_t logStart = 0;
};
