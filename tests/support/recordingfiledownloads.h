#pragma once

#include "ui/filedownloads.h"

#include <QHash>
#include <utility>

// Fetches nothing: records the downloads asked for and lists the rows a test sets. A name asked
// for is answered at once with the sender's name a test set for the URL, or the line's name as
// when the sender does not answer; while holdNames is set, answers wait for answerNames().
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
    void proposedName(const QUrl &url, const QString &nameInLine,
                      std::function<void(const QString &)> done) override
    {
        nameQuestions.append({url, nameInLine});
        const QString answer = senderNames.value(url, nameInLine);
        if (holdNames)
            m_heldNames.append([answer, done = std::move(done)] { done(answer); });
        else
            done(answer);
    }
    // Answers the names held so far.
    void answerNames()
    {
        const auto held = std::exchange(m_heldNames, {});
        for (const auto &answer : held)
            answer();
    }

    QList<std::pair<QUrl, QString>> started;
    QList<int> cancelled;
    QList<TransferRow> rows;
    QHash<QUrl, QString> senderNames;
    QList<std::pair<QUrl, QString>> nameQuestions; // url, the line's name
    bool holdNames = false;

private:
    QList<std::function<void()>> m_heldNames;
};
