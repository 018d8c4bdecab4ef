#include "sharecode.h"

#include <QRandomGenerator>

namespace ShareCode {

QString generate(int characters)
{
    QString code(characters, Qt::Uninitialized);
    auto *random = QRandomGenerator::system();
    for (auto &character : code)
        character = alphabet[random->bounded(int(alphabet.size()))];
    return code;
}

QString normalized(QStringView text)
{
    if (text.size() < shortestLength || text.size() > length)
        return {};
    QString code = text.toString().toUpper();
    for (const QChar character : code) {
        if (!alphabet.contains(character))
            return {};
    }
    return code;
}

} // namespace ShareCode
