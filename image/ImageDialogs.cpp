#include "image/ImageDialogs.h"

namespace {
ImageQuestionHook& QuestionHook() {
    static ImageQuestionHook hook;
    return hook;
}
ImageMessageHook& MessageHook() {
    static ImageMessageHook hook;
    return hook;
}
}  // namespace

void SetImageQuestionHook(ImageQuestionHook hook) { QuestionHook() = std::move(hook); }
void SetImageMessageHook(ImageMessageHook hook) { MessageHook() = std::move(hook); }

bool AskImageQuestion(const std::string& text, const std::string& title) {
    return QuestionHook() ? QuestionHook()(text, title) : false;
}

void ShowImageMessage(const std::string& text) {
    if (MessageHook()) MessageHook()(text);
}
