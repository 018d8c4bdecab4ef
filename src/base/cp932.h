#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Text leaves the program in code page 932, the code page of the Windows peers and of set.txt.
namespace Cp932 {

// As Windows writes it: characters that code page 932 cannot hold become their best fit (¥ is 5C,
// é is 65), "?" where there is none; the code points that Linux input methods produce where
// Windows uses another one are mapped to the code page 932 forms first.
QByteArray encode(const QString &text);

// Stateless: a lead byte at the end is not held back for a next call; invalid bytes never fail.
QString decode(const QByteArray &bytes);

// The text with the code points that Linux uses where Windows uses another one replaced by the
// code page 932 forms, as encode() writes them.
QString windowsForms(const QString &text);

// True when encode() writes every character of the text as itself, no best fit or "?" in its place.
bool canEncode(const QString &text);

// Nothing when a byte is not part of a character of the code page.
std::optional<QString> decodeExactly(const QByteArray &bytes);

} // namespace Cp932
