#pragma once

#include "historyline.h"

#include <QAbstractTableModel>
#include <QDate>

// Lines of the history as rows of date, time, name and text, with a row naming the day before the
// first line of each day. Everything in it came from peers: only ever shown as plain text.
class HistoryListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { DateColumn, TimeColumn, NameColumn, TextColumn, ColumnCount };
    static constexpr int separatorRole = Qt::UserRole;  // bool: the row names a day
    static constexpr int lineIdRole = Qt::UserRole + 1; // the line's id, 0 on a day's row
    // Longer texts are cut for display (a peer may send 60,000 characters); copies are whole.
    static constexpr qsizetype displayCharacters = 512;

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    // Lines in the order they are to be shown.
    void setLines(const HistoryLines &lines);
    const HistoryLines &lines() const { return m_lines; }
    // The line of a row; nullptr for a day's row.
    const HistoryLine *lineAt(int row) const;
    int rowOfId(qint64 id) const;

    // The rows' lines as the clipboard gets them: date and time, name, text, TAB-separated, one
    // per line; days' rows are left out.
    QString copyText(const QList<int> &rows) const;

    // The day's row: "2026年12月8日（火）".
    static QString dayText(const QDate &day);
    static QDate localDate(const HistoryLine &line);

private:
    struct Row
    {
        int line = -1; // index into m_lines, -1 for a day
        QDate day;
    };
    HistoryLines m_lines;
    QList<Row> m_rows;
};
