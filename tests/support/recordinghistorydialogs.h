#pragma once

#include "ui/historywindow.h"

#include <QStringList>

// Answers the history window's questions as a test sets them, and records what it was told.
class RecordingHistoryDialogs : public HistoryDialogs
{
public:
    QString exportFileName(QWidget *, HistoryExport::Format &format) override
    {
        format = exportFormat;
        return exportPath;
    }
    bool confirmClear(QWidget *) override
    {
        ++clearQuestions;
        return clearAnswer;
    }
    bool confirmShorterKeep(QWidget *, const QString &period) override
    {
        keepQuestions.append(period);
        return keepAnswer;
    }
    void tell(QWidget *, const QString &text) override { told.append(text); }

    QString exportPath;
    HistoryExport::Format exportFormat = HistoryExport::Format::Text;
    bool clearAnswer = false;
    int clearQuestions = 0;
    bool keepAnswer = false;
    QStringList keepQuestions;
    QStringList told;
};
