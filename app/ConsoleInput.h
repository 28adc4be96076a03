#pragma once
// The console window's input line as plain logic over PendingInput: which
// typed characters count, Backspace, Enter and paste. The window mirrors
// PendingInput at the end of its view after each change.
#include <string>

enum class ConsoleKey {
    Ignored,  // nothing changed
    Changed,  // PendingInput changed: show it again at the end of the view
    Enter,    // the line is complete: TakeConsoleLine
};

// One typed character, as a Unicode code point. Codes 32 to 126 are taken as
// they are; control codes and whatever Windows-1252 codes at 127 to 255 (the
// euro sign and the letters with accents among them) are refused; other
// characters become "?". Backspace (8)
// drops the last pending character and does nothing when there is none, so
// logged text is never erased.
ConsoleKey ApplyConsoleKey(char32_t code);

// Empties PendingInput and answers the command to queue: the line with
// leading and trailing blanks removed (an empty line is a command too).
std::string TakeConsoleLine();

// Appends pasted text (already Windows-1252) unchanged: line ends and other
// control characters become part of the next command.
void AppendConsolePaste(const std::string& text);

// Queues a typed line for the console session (0) with CR LF.
void QueueConsoleLine(const std::string& line);
