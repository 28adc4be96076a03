#pragma once
// Modal questions and notices to the operator, behind a seam so that tests can
// answer them. The product shows QMessageBox, whose exec() keeps the event loop
// running: sockets and the queue timer go on while a question is open.
#include <functional>
#include <string>

enum class MsgButtons { Ok, YesNo };
enum class MsgIcon { Information, Question, Exclamation, Critical };
enum class MsgAnswer { Ok, Yes, No };

struct MsgRequest {
    std::string text;   // Windows-1252 bytes, lines separated by CR LF
    std::string title;
    MsgButtons buttons = MsgButtons::Ok;
    MsgIcon icon = MsgIcon::Information;
    // A Yes/No box's default button: the first, Yes, unless the question
    // asks for No.
    MsgAnswer defaultButton = MsgAnswer::Yes;
};

using MessageBoxHandler = std::function<MsgAnswer(const MsgRequest&)>;

// Shows the box (or asks the installed handler) and answers the button taken.
MsgAnswer ShowMessageBox(const MsgRequest& request);

// Replaces the real QMessageBox; an empty function brings it back.
void SetMessageBoxHandler(MessageBoxHandler handler);

// False on a platform where nobody can see or answer a dialog (Qt's
// offscreen and minimal platforms).
bool DialogsCanBeAnswered();
// The handler for such a platform: logs the box (SYS, W) and answers at once
// with the safe answer, No to every question (the engine runs on, stays On
// Air, overwrites nothing) and Ok to a notice.
MsgAnswer AnswerUnattended(const MsgRequest& request);

// Routes the image library's questions and messages through ShowMessageBox.
void InstallImageDialogs();
