#pragma once

#include <QString>
#include <QStringView>

// The code at the end of a share's link: the only thing that lets somebody fetch the file. Short
// enough to type from a chat line, with no characters that look alike (no 0/O, no 1/I/L).
namespace ShareCode {

// 31 characters: a code of 10 carries 49 random bits.
inline constexpr QStringView alphabet = u"23456789ABCDEFGHJKMNPQRSTUVWXYZ";
inline constexpr int length = 10;
// Codes of this length are still read, so that a link typed with one character missing is refused
// as a wrong code rather than taken for text.
inline constexpr int shortestLength = 9;

// A new code from the system's random source; longer ones name upload resources (17 characters
// carry 84 bits).
QString generate(int characters = length);
// The code in its stored form (upper case) when text is one, else an empty string.
QString normalized(QStringView text);

} // namespace ShareCode
