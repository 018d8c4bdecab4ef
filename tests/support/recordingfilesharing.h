#pragma once

#include "ui/filesharing.h"

#include <QFileInfo>

// Shares nothing: hands out a line in the shape the share texts make, records each offer, and
// lists the shares a test sets.
class RecordingFileSharing : public FileSharing
{
public:
    struct Offered
    {
        QString path;
        ShareLifetime lifetime;
        QStringList recipients;
    };

    Offer offer(const QString &path, ShareLifetime lifetime, const QStringList &recipients) override
    {
        offers.append({path, lifetime, recipients});
        if (!refuse.isEmpty())
            return {{}, refuse};
        return {QStringLiteral("[ファイル] %1 (%2 B) http://198.18.0.1:50012/f/K7QXM2PDA%3 （24時間有効）")
                    .arg(QFileInfo(path).fileName())
                    .arg(QFileInfo(path).size())
                    .arg(offers.size() + 1),
                {}};
    }
    QList<ShareRow> shares() const override
    {
        ++shareQueries;
        return rows;
    }
    void stop(const QString &code) override { stopped.append(code); }

    DropPointOffer openDropPoint(const QString &, ShareLifetime, const QStringList &, const QString &,
                                 qint64) override
    {
        return {{}, {}, QStringLiteral("受け取り口はこのテストでは開けません。")};
    }
    QList<DropPointRow> dropPoints() const override { return dropRows; }
    void stopDropPoint(const QString &code) override { stopped.append(code); }

    QList<Offered> offers;
    QString refuse; // set: every offer fails with this
    QList<ShareRow> rows;
    mutable int shareQueries = 0;
    QStringList stopped; // shares and drop points
    QList<DropPointRow> dropRows;
};
