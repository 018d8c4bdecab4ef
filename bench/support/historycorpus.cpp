#include "historycorpus.h"

#include "history/historystore.h"

#include <QStringList>

namespace Bench {

namespace {

const QStringList words = {
    QStringLiteral("会議"),       QStringLiteral("三時"),   QStringLiteral("資料"),
    QStringLiteral("明日"),       QStringLiteral("確認"),   QStringLiteral("お願いします"),
    QStringLiteral("了解です"),   QStringLiteral("会議室"), QStringLiteral("昼休み"),
    QStringLiteral("打ち合わせ"), QStringLiteral("先方"),   QStringLiteral("見積もり"),
    QStringLiteral("サーバー"),   QStringLiteral("再起動"), QStringLiteral("してください"),
    QStringLiteral("です"),       QStringLiteral("から"),   QStringLiteral("の"),
    QStringLiteral("は"),         QStringLiteral("を"),     QStringLiteral("meeting"),
    QStringLiteral("Server"),     QStringLiteral("build"),  QStringLiteral("OK"),
    QStringLiteral("deploy"),     QStringLiteral("lunch"),  QStringLiteral("room"),
    QStringLiteral("please"),     QStringLiteral("check"),  QStringLiteral("the"),
    QStringLiteral("release"),    QStringLiteral("Tokyo"),
};

QString lineText(std::mt19937 &random)
{
    std::uniform_int_distribution<int> count(3, 9), word(0, int(words.size()) - 1), number(1, 999);
    QString text;
    const int n = count(random);
    for (int i = 0; i < n; ++i) {
        const QString &w = words.at(word(random));
        if (!text.isEmpty() && w.at(0).unicode() < 0x80)
            text += u' ';
        text += w;
    }
    text += QString::number(number(random));
    return text;
}

} // namespace

HistoryLine HistoryCorpus::next()
{
    const qint64 n = m_made++;
    HistoryLine line;
    line.timeMs = firstTimeMs + n * 1000;
    line.utcOffset = 9 * 3600;
    line.port = 1000;
    const int who = m_person(m_random);
    line.name = QStringLiteral("社員%1").arg(who);
    line.address = QStringLiteral("198.18.0.%1").arg(who + 1);
    line.text = lineText(m_random);
    // Outside the random sequence, so that every other line is as it was before the rare word.
    if (n % rareEvery == rareEvery / 2)
        line.text += QStringLiteral(" 鶴見");
    return line;
}

QString HistoryCorpus::write(const QString &path, qint64 total)
{
    HistoryStore store;
    if (const HistoryStore::OpenResult opened = store.open(path); opened.problem != HistoryProblem::None)
        return QStringLiteral("cannot open %1: %2").arg(path, opened.detail);
    HistoryCorpus corpus;
    for (qint64 n = 0; n < total; n += 1000) {
        HistoryLines lines;
        for (qint64 i = n; i < std::min(total, n + 1000); ++i)
            lines.append(corpus.next());
        if (!store.insert(lines))
            return QStringLiteral("cannot store in %1: %2").arg(path, store.detail());
    }
    return {};
}

} // namespace Bench
