#pragma once

#include "ui/savedialogs.h"

// Answers the file dialogs as a test sets them and records what it was asked.
class RecordingSaveDialogs : public SaveDialogs
{
public:
    QStringList filesToSend(QWidget *) override
    {
        ++openQuestions;
        return filesAnswer;
    }
    QString saveFileName(QWidget *, const QString &proposedPath) override
    {
        proposed.append(proposedPath);
        return saveAnswer.isNull() ? proposedPath : saveAnswer;
    }
    QString downloadFolder() const override { return folder; }

    QStringList filesAnswer;
    int openQuestions = 0;
    QStringList proposed;
    QString saveAnswer; // null: the proposed path is taken
    QString folder;
};
