#include "entrylistmodel.h"

#include <QRegularExpression>

int EntryListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant EntryListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return {};
    if (role == Qt::DisplayRole)
        return shortened(m_entries.at(index.row()), displayCharacters);
    if (role == fullTextRole)
        return m_entries.at(index.row());
    // Qt shows a tool tip as HTML whenever it looks like HTML, images from local paths included.
    if (role == Qt::ToolTipRole)
        return toolTip(m_entries.at(index.row()));
    if (role == Qt::AccessibleTextRole)
        return shortened(spokenEntry(m_entries.at(index.row())), displayCharacters);
    return {};
}

QString EntryListModel::spokenLine(const QString &entry)
{
    QString line = entry.left(entry.lastIndexOf(QLatin1Char('\t')));
    const qsizetype nameEnd = line.indexOf(QLatin1Char('>'));
    if (nameEnd >= 0)
        line.replace(nameEnd, 1, QStringLiteral(": "));
    return line;
}

QString EntryListModel::spokenEntry(const QString &entry)
{
    const qsizetype tab = entry.lastIndexOf(QLatin1Char('\t'));
    if (tab < 0)
        return spokenLine(entry);
    // To the minute: seconds add a long "コロン 37" to every row and say nothing a listener needs.
    QString time = entry.mid(tab + 1);
    static const QRegularExpression toTheSecond(QStringLiteral("^\\d{1,2}:\\d{2}:\\d{2}$"));
    if (toTheSecond.match(time).hasMatch())
        time.chop(3);
    return spokenLine(entry) + QStringLiteral(", ") + time;
}

QString EntryListModel::shortened(const QString &entry, qsizetype characters)
{
    if (entry.size() <= characters)
        return entry;
    QString text = entry.left(characters);
    if (text.back().isHighSurrogate())
        text.chop(1);
    return text + QChar(0x2026);
}

QString EntryListModel::toolTip(const QString &entry)
{
    return QStringLiteral("<p style='white-space:pre-wrap'>") +
           shortened(entry, toolTipCharacters).toHtmlEscaped() + QStringLiteral("</p>");
}

void EntryListModel::beginBulkChange()
{
    beginResetModel();
    m_bulkChange = true;
}

void EntryListModel::endBulkChange()
{
    m_bulkChange = false;
    endResetModel();
}

void EntryListModel::append(const QString &entry)
{
    const int row = int(m_entries.size());
    if (!m_bulkChange)
        beginInsertRows(QModelIndex(), row, row);
    m_entries.append(entry);
    m_characters += entry.size();
    if (!m_bulkChange)
        endInsertRows();
}

void EntryListModel::removeAt(int row)
{
    if (row < 0 || row >= m_entries.size())
        return;
    if (!m_bulkChange)
        beginRemoveRows(QModelIndex(), row, row);
    m_characters -= m_entries.at(row).size();
    m_entries.removeAt(row);
    if (!m_bulkChange)
        endRemoveRows();
}

void EntryListModel::removeFirst(int count)
{
    count = std::min(count, size());
    if (count <= 0)
        return;
    if (!m_bulkChange)
        beginRemoveRows(QModelIndex(), 0, count - 1);
    for (int row = 0; row < count; ++row)
        m_characters -= m_entries.at(row).size();
    m_entries.remove(0, count);
    if (!m_bulkChange)
        endRemoveRows();
}
