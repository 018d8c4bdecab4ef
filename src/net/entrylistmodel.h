#pragma once

#include <QAbstractListModel>
#include <QStringList>

// The entries of a list box: texts appended at the end, removed by index, never changed.
// Entries carry what peers sent, so they are only ever shown as plain text.
class EntryListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    // The whole entry, for copying; the display and the tool tip show a part of a long one.
    static constexpr int fullTextRole = Qt::UserRole;
    // Wider than any screen: the list clips its rows at the edge anyway, and laying out a
    // 60,000-character line on every repaint would freeze the window.
    static constexpr qsizetype displayCharacters = 512;
    // A tool tip longer than this is cut: it is a window of its own and must fit on the screen.
    static constexpr qsizetype toolTipCharacters = 2000;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // Many changes at once: the views are told once, by a reset, instead of once per row.
    void beginBulkChange();
    void endBulkChange();

    void append(const QString &entry);
    void removeAt(int row);
    // Drops the oldest entries.
    void removeFirst(int count);
    const QStringList &entries() const { return m_entries; }
    QString at(int row) const { return m_entries.at(row); }
    int size() const { return int(m_entries.size()); }
    // The length of all entries together, in UTF-16 units.
    qsizetype characters() const { return m_characters; }

    // The tool tip of an entry: escaped, so that no markup in it is interpreted, and keeping its
    // blanks and TABs.
    static QString toolTip(const QString &entry);
    // The entry cut to its first characters, with an ellipsis where it was cut.
    static QString shortened(const QString &entry, qsizetype characters);
    // A log entry as a screen reader says it, with no raw TAB: "name>text TAB time" becomes
    // "name: text, time"; a line without a name (a join, say) keeps its text.
    static QString spokenEntry(const QString &entry);
    // The same without the time: what is announced when the entry arrives.
    static QString spokenLine(const QString &entry);

private:
    QStringList m_entries;
    qsizetype m_characters = 0;
    bool m_bulkChange = false;
};
