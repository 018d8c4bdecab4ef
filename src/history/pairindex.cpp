#include "pairindex.h"

#include <QByteArray>
#include <QList>
#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

struct Character
{
    char32_t code;
    int start; // byte offsets in the tokenized text
    int end;
};

// One character of UTF-8 at `at`, and its length in bytes. SQLite hands in UTF-8 it stored itself; a
// stray byte is taken as one character of its own.
char32_t decodeAt(const unsigned char *bytes, int size, int at, int &length)
{
    const unsigned char lead = bytes[at];
    length = 1;
    char32_t code = lead;
    if (lead >= 0xf0 && lead < 0xf8) {
        length = 4;
        code = lead & 0x07;
    } else if (lead >= 0xe0) {
        length = 3;
        code = lead & 0x0f;
    } else if (lead >= 0xc0) {
        length = 2;
        code = lead & 0x1f;
    }
    if (at + length > size) {
        length = 1;
        return 0xfffd;
    }
    for (int i = 1; i < length; ++i) {
        if ((bytes[at + i] & 0xc0) != 0x80) {
            length = 1;
            return 0xfffd;
        }
        code = (code << 6) | (bytes[at + i] & 0x3f);
    }
    return code;
}

std::vector<Character> decode(const char *text, int size)
{
    std::vector<Character> characters;
    characters.reserve(size_t(size));
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    for (int at = 0, length = 0; at < size; at += length) {
        const char32_t code = decodeAt(bytes, size, at, length);
        characters.push_back({code, at, at + length});
    }
    return characters;
}

bool isBlank(char32_t code)
{
    return code < 0x20 || QChar::isSpace(code);
}

// The case-folded character as UTF-8 into buffer; returns its length.
int encodeFolded(char32_t code, char *buffer)
{
    const char32_t folded = QChar::toCaseFolded(code);
    int length = 0;
    if (folded < 0x80) {
        buffer[length++] = char(folded);
    } else if (folded < 0x800) {
        buffer[length++] = char(0xc0 | (folded >> 6));
        buffer[length++] = char(0x80 | (folded & 0x3f));
    } else if (folded < 0x10000) {
        buffer[length++] = char(0xe0 | (folded >> 12));
        buffer[length++] = char(0x80 | ((folded >> 6) & 0x3f));
        buffer[length++] = char(0x80 | (folded & 0x3f));
    } else {
        buffer[length++] = char(0xf0 | (folded >> 18));
        buffer[length++] = char(0x80 | ((folded >> 12) & 0x3f));
        buffer[length++] = char(0x80 | ((folded >> 6) & 0x3f));
        buffer[length++] = char(0x80 | (folded & 0x3f));
    }
    return length;
}

void appendFolded(QByteArray &token, char32_t code)
{
    char buffer[4];
    token.append(buffer, encodeFolded(code, buffer));
}

// The tokenizer keeps no state: every instance is this one.
char theTokenizer;

int createTokenizer(void *, const char **, int, Fts5Tokenizer **tokenizer)
{
    *tokenizer = reinterpret_cast<Fts5Tokenizer *>(&theTokenizer);
    return SQLITE_OK;
}

void deleteTokenizer(Fts5Tokenizer *) {}

int tokenize(Fts5Tokenizer *, void *context, int flags, const char *text, int size,
             int (*token)(void *, int, const char *, int, int, int))
{
    const std::vector<Character> characters = decode(text, size);
    QByteArray term;
    // A query is one term as it stands: the pair, or the single character of a prefix query.
    if (flags & FTS5_TOKENIZE_QUERY) {
        for (const Character &c : characters)
            appendFolded(term, c.code);
        return term.isEmpty() ? SQLITE_OK : token(context, 0, term.constData(), int(term.size()), 0, size);
    }
    for (size_t i = 0; i < characters.size(); ++i) {
        if (isBlank(characters[i].code))
            continue;
        term.clear();
        appendFolded(term, characters[i].code);
        int end = characters[i].end;
        if (i + 1 < characters.size() && !isBlank(characters[i + 1].code)) {
            appendFolded(term, characters[i + 1].code);
            end = characters[i + 1].end;
        }
        if (const int rc = token(context, 0, term.constData(), int(term.size()), characters[i].start, end);
            rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}

fts5_api *fts5Of(sqlite3 *db)
{
    fts5_api *api = nullptr;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr);
        sqlite3_step(statement);
    }
    sqlite3_finalize(statement);
    return api;
}

// Where the first `characters` characters of text end, counted as SQLite's substr() counts them.
int prefixBytes(const unsigned char *text, int size, int characters)
{
    if (size <= characters)
        return size; // no character is shorter than a byte
    int at = 0;
    for (int n = 0; n < characters && at < size; ++n) {
        if (text[at++] >= 0xc0) {
            while (at < size && (text[at] & 0xc0) == 0x80)
                ++at;
        }
    }
    return at;
}

// A search for the first byte, then a comparison: on lines of a few dozen bytes faster than memmem(),
// whose set-up costs more than the search.
bool holds(const char *text, size_t size, std::string_view needle)
{
    return std::string_view(text, size).find(needle) != std::string_view::npos;
}

bool contains(const unsigned char *text, int size, std::string_view needle, bool folding, std::string &folded)
{
    if (!folding)
        return holds(reinterpret_cast<const char *>(text), size_t(size), needle);
    // A folded character takes at most three times the bytes it took: a stray byte becomes U+FFFD.
    folded.resize(size_t(size) * 3);
    char *out = folded.data();
    for (int at = 0, length = 0; at < size; at += length) {
        if (text[at] < 0x80) {
            // Only A to Z fold among these.
            const char c = char(text[at]);
            *out++ = c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
            length = 1;
            continue;
        }
        out += encodeFolded(decodeAt(text, size, at, length), out);
    }
    return holds(folded.data(), size_t(out - folded.data()), needle);
}

// zumzum_holds(text, characters, name, needle, folding): whether needle occurs among the first
// `characters` characters of text or in name, as instr() finds it, or with both sides case-folded
// (the needle is given folded) when folding is 1. One call a line: a scan over the newest lines
// costs little more than reading them.
void holdsFunction(sqlite3_context *context, int, sqlite3_value **arguments)
{
    const auto *text = sqlite3_value_text(arguments[0]);
    const int textSize = sqlite3_value_bytes(arguments[0]);
    const int characters = sqlite3_value_int(arguments[1]);
    const auto *name = sqlite3_value_text(arguments[2]);
    const int nameSize = sqlite3_value_bytes(arguments[2]);
    const auto *needle = reinterpret_cast<const char *>(sqlite3_value_text(arguments[3]));
    const int needleSize = sqlite3_value_bytes(arguments[3]);
    const bool folding = sqlite3_value_int(arguments[4]) != 0;
    if (!text || !name || !needle) {
        sqlite3_result_int(context, 0);
        return;
    }
    const std::string_view wanted(needle, size_t(needleSize));
    std::string folded;
    sqlite3_result_int(context,
                       contains(text, prefixBytes(text, textSize, characters), wanted, folding, folded) ||
                           contains(name, nameSize, wanted, folding, folded));
}

} // namespace

namespace PairIndex {

bool install(sqlite3 *db)
{
    fts5_api *api = fts5Of(db);
    if (!api)
        return false;
    static fts5_tokenizer tokenizer{createTokenizer, deleteTokenizer, tokenize};
    if (api->xCreateTokenizer(api, "zumzum_pairs", nullptr, &tokenizer, nullptr) != SQLITE_OK)
        return false;
    return sqlite3_create_function_v2(db, "zumzum_holds", 5, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                      holdsFunction, nullptr, nullptr, nullptr) == SQLITE_OK;
}

QString fold(const QString &text)
{
    // Character by character, as the tokenizer folds: QString::toCaseFolded() may change the length.
    QList<uint> characters = text.toUcs4();
    for (uint &c : characters)
        c = QChar::toCaseFolded(char32_t(c));
    return QString::fromUcs4(reinterpret_cast<const char32_t *>(characters.constData()), characters.size());
}

QString matchExpression(const QString &query)
{
    QString term = fold(query);
    term.replace(u'"', QStringLiteral("\"\""));
    term = u'"' + term + u'"';
    // One character: every pair that starts with it, and the character alone before a blank.
    return query.toUcs4().size() == 1 ? term + QStringLiteral(" *") : term;
}

} // namespace PairIndex
