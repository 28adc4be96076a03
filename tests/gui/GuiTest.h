#pragma once
// Window tests: process-wide state reset, message boxes answered by the test, the queue held still.
#include <gtest/gtest.h>

#include "core/Log.h"
#include "core/MessageBox.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "protocol/modCommandQueueManager.h"
#include "tests/app/QtApp.h"

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        asked.clear();
        answer = MsgAnswer::Yes;
        Settings = SettingsData{};
        FatalError = OnAir = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = ConsoleShown = false;
        SetStopOperationHook({});
        SetMessageBoxHandler([this](const MsgRequest& request) { return asked.push_back(request), answer; });
        InitCommandQueue();  // empties the queue; stopped, it keeps what the test adds until it runs a tick itself
        SetQueueTimerEnabled(false);
        logStart = ConsoleText().size();
    }
    void TearDown() override { SetMessageBoxHandler({}); }

    std::string NewLog() const { return ConsoleText().substr(logStart); }  // since SetUp
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
