#pragma once

#include "app/urlopener.h"

#include <QStringList>

// Remembers what would have been opened, and opens nothing.
class RecordingUrlOpener : public UrlOpener
{
public:
    QStringList opened;
    void openUrl(const QString &target) override { opened.append(target); }
};
