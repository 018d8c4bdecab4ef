#include "droppointlistmodel.h"

#include "net/entrylistmodel.h"
#include "share/sharelinks.h"
#include "sharetexts.h"

DropPointListModel::DropPointListModel(std::function<QString(const QString &)> nameOf, QObject *parent)
    : QAbstractTableModel(parent), m_nameOf(std::move(nameOf))
{
}

int DropPointListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int DropPointListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant DropPointListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Link: return QStringLiteral("リンク");
    case Senders: return QStringLiteral("送れる人");
    case Received: return QStringLiteral("受け取ったファイル");
    case Expires: return QStringLiteral("残り時間");
    default: return {};
    }
}

QString DropPointListModel::text(int row, Column column) const
{
    const DropPointRow &d = m_rows.at(row);
    switch (column) {
    // A drop point kept from an earlier run waits for the server like a share does.
    case Link: return d.url.isEmpty() ? QStringLiteral("（サーバーが止まっています）") : d.url;
    case Senders: return ShareTexts::people(d.senders, m_nameOf);
    case Received: {
        QString text =
            d.filesReceived == 0
                ? QStringLiteral("なし")
                : QStringLiteral("%1 件、最後: %2").arg(d.filesReceived).arg(ShareTexts::plain(d.lastFile));
        if (d.uploading > 0) {
            const QString bytes = d.uploadingTotal < 0
                                      ? ShareLinks::sizeText(d.uploadingBytes)
                                      : QStringLiteral("%1 / %2").arg(ShareLinks::sizeText(d.uploadingBytes),
                                                                      ShareLinks::sizeText(d.uploadingTotal));
            text += QStringLiteral("、受け取り中 %1 件 (%2)").arg(d.uploading).arg(bytes);
        }
        return text;
    }
    case Expires: return d.msLeft < 0 ? QStringLiteral("終了まで") : ShareTexts::duration(d.msLeft);
    default: return {};
    }
}

QVariant DropPointListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size())
        return {};
    // Names of files and participants are anybody's text: plain text only.
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return text(index.row(), Column(index.column()));
    if (role == Qt::ToolTipRole)
        return EntryListModel::toolTip(text(index.row(), Column(index.column())));
    return {};
}

void DropPointListModel::setDropPoints(const QList<DropPointRow> &dropPoints)
{
    bool sameRows = dropPoints.size() == m_rows.size();
    for (qsizetype i = 0; sameRows && i < dropPoints.size(); ++i)
        sameRows = dropPoints[i].code == m_rows[i].code;
    if (sameRows) {
        m_rows = dropPoints;
        if (!m_rows.isEmpty())
            emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
        return;
    }
    beginResetModel();
    m_rows = dropPoints;
    endResetModel();
}
