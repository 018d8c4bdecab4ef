#include "historylistmodel.h"

#include "historyexport.h"

#include <QDateTime>
#include <QTimeZone>

namespace {

QDateTime localDateTime(const HistoryLine &line)
{
    return QDateTime::fromMSecsSinceEpoch(line.timeMs, QTimeZone(line.utcOffset));
}

QString shown(const QString &text)
{
    QString cut = text.left(HistoryListModel::displayCharacters);
    for (QChar &c : cut) {
        if (c.category() == QChar::Other_Control)
            c = u' ';
    }
    return cut;
}

} // namespace

int HistoryListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int HistoryListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QDate HistoryListModel::localDate(const HistoryLine &line)
{
    return localDateTime(line).date();
}

QString HistoryListModel::dayText(const QDate &day)
{
    static const char16_t *const weekdays[] = {u"月", u"火", u"水", u"木", u"金", u"土", u"日"};
    return QStringLiteral("%1年%2月%3日（%4）")
        .arg(day.year())
        .arg(day.month())
        .arg(day.day())
        .arg(QString::fromUtf16(weekdays[day.dayOfWeek() - 1]));
}

QVariant HistoryListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    const Row &row = m_rows.at(index.row());
    if (role == separatorRole)
        return row.line < 0;
    if (role == lineIdRole)
        return row.line < 0 ? qint64(0) : m_lines.at(row.line).id;
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != Qt::AccessibleTextRole)
        return {};
    if (row.line < 0)
        return index.column() == 0 ? dayText(row.day) : QString();
    const HistoryLine &line = m_lines.at(row.line);
    switch (index.column()) {
    case DateColumn: return localDateTime(line).toString(QStringLiteral("yyyy/MM/dd"));
    case TimeColumn: return localDateTime(line).toString(QStringLiteral("HH:mm:ss"));
    case NameColumn: return shown(line.name);
    case TextColumn:
        if (line.kind == HistoryLine::Kind::SentToSelected)
            return shown(line.text) + QStringLiteral("　→ ") + shown(line.recipients);
        return shown(line.text);
    }
    return {};
}

QVariant HistoryListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char16_t *const titles[] = {u"日付", u"時刻", u"名前", u"内容"};
    return section >= 0 && section < ColumnCount ? QString::fromUtf16(titles[section]) : QString();
}

Qt::ItemFlags HistoryListModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (m_rows.at(index.row()).line < 0)
        return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void HistoryListModel::setLines(const HistoryLines &lines)
{
    beginResetModel();
    m_lines = lines;
    m_rows.clear();
    QDate previous;
    for (int i = 0; i < m_lines.size(); ++i) {
        const QDate day = localDate(m_lines.at(i));
        if (day != previous)
            m_rows.append({-1, day});
        previous = day;
        m_rows.append({i, day});
    }
    endResetModel();
}

const HistoryLine *HistoryListModel::lineAt(int row) const
{
    if (row < 0 || row >= m_rows.size() || m_rows.at(row).line < 0)
        return nullptr;
    return &m_lines.at(m_rows.at(row).line);
}

int HistoryListModel::rowOfId(qint64 id) const
{
    for (int row = 0; row < m_rows.size(); ++row) {
        if (const HistoryLine *line = lineAt(row); line && line->id == id)
            return row;
    }
    return -1;
}

QString HistoryListModel::copyText(const QList<int> &rows) const
{
    QList<int> sorted = rows;
    std::sort(sorted.begin(), sorted.end());
    QString text;
    for (int row : std::as_const(sorted)) {
        if (const HistoryLine *line = lineAt(row))
            text += HistoryExport::textRow(*line) + u'\n';
    }
    return text;
}
