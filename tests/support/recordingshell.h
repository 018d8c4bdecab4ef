#pragma once

#include "app/shell.h"

#include <QStringList>

// Remembers what would have been opened, and opens nothing.
class RecordingShell : public Shell
{
public:
    QStringList opened;
    void openUrl(const QString &target) override { opened.append(target); }
};
