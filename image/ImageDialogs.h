#pragma once
// The image library's only user-visible questions and messages. The library
// has no windows; the engine installs real message boxes, tests answer them.
#include <functional>
#include <string>

// Yes/No question whose default answer is No (the box's default button);
// answers true for Yes. Without a hook the answer is that default, so
// nothing is overwritten behind the operator's back.
using ImageQuestionHook = std::function<bool(const std::string& text, const std::string& title)>;
// Information message with an OK button only (no title of its own).
using ImageMessageHook = std::function<void(const std::string& text)>;

void SetImageQuestionHook(ImageQuestionHook hook);  // empty function: back to "No"
void SetImageMessageHook(ImageMessageHook hook);    // empty function: messages are dropped

bool AskImageQuestion(const std::string& text, const std::string& title);
void ShowImageMessage(const std::string& text);
