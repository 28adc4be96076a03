#pragma once
// Windows-1252, the engine's one-byte text, to and from Qt's Unicode strings.
// Text is kept as bytes everywhere; this is only for display and typed input.
#include <string>
#include <string_view>

#include <QString>

// Every byte becomes exactly one UTF-16 unit, so positions in the text stay
// positions in the QString.
QString AnsiToQString(std::string_view text);
// One character; "?" when Windows-1252 has no such character.
std::string UnicodeToAnsi(char32_t code);
std::string QStringToAnsi(const QString& text);
