#pragma once

#include "ui/filedownloads.h"

#include <utility>

// Fetches nothing: records the downloads asked for and lists the rows a test sets.
class RecordingFileDownloads : public FileDownloads
{
public:
    int start(const QUrl &url, const QString &targetPath) override
    {
        started.append({url, targetPath});
        return int(started.size());
    }
    void cancel(int id) override { cancelled.append(id); }
    QList<TransferRow> transfers() const override { return rows; }

    QList<std::pair<QUrl, QString>> started;
    QList<int> cancelled;
    QList<TransferRow> rows;
};
