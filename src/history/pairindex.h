#pragma once

#include <QString>

struct sqlite3;

// The index behind searches of one and two characters: every pair of neighbouring characters of a
// line (and a character before a blank or the end alone), case-folded, without positions. Two
// characters are one term; one character is a prefix of terms. A search of three and more characters
// uses the trigram index instead.
namespace PairIndex {

// The tokenizer "zumzum_pairs" and the SQL function zumzum_holds(text, characters, name, needle,
// folding) that looks for a search in the lines themselves, on one connection. Every connection
// that writes lines needs them, since the triggers that keep the index use the tokenizer.
bool install(sqlite3 *db);

// Both sides of a short search are folded the same way: "ＡＢ" finds "ａｂ", "Пр" finds "пр".
QString fold(const QString &text);

// The MATCH expression for a query of one or two characters (folded here).
QString matchExpression(const QString &query);

} // namespace PairIndex
