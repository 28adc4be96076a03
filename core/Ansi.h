#pragma once
// Windows-1252, the engine's one-byte text: its letter case, and its
// conversion to and from Unicode. Text is kept as bytes everywhere; Unicode is
// only for display, typed input and files written by editors that save it.
#include <string>
#include <string_view>

class QString;

// Upper case as the code page has it: a-z, the accented small letters
// (0xE0-0xFE except the division sign), and s, oe, z with caron and y with
// diaeresis (0x9A, 0x9C, 0x9E, 0xFF). Sharp s and micro sign have no capital
// in the code page and stay.
unsigned char AnsiUpperChar(unsigned char c);
std::string AnsiUpper(std::string_view text);

// Every byte becomes exactly one UTF-16 unit, so positions in the text stay
// positions in the QString.
QString AnsiToQString(std::string_view text);
// One character; "?" when Windows-1252 has no such character.
std::string UnicodeToAnsi(char32_t code);
std::string QStringToAnsi(const QString& text);
std::string AnsiToUtf8(std::string_view text);

// The text of a file as Windows-1252 bytes: after a byte order mark of
// UTF-16 LE, UTF-16 BE or UTF-8 the text is decoded (a character the code
// page lacks, or a malformed sequence, becomes "?"); without one the bytes
// are taken as they are.
std::string FileTextToAnsi(std::string_view bytes);
