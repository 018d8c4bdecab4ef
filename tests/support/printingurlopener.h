#pragma once

#include "app/urlopener.h"

#include <cstdio>

// Prints one line "shell open <target>" instead of opening anything.
class PrintingUrlOpener : public UrlOpener
{
public:
    explicit PrintingUrlOpener(std::FILE *stream) : m_stream(stream) {}

    void openUrl(const QString &target) override;

private:
    std::FILE *m_stream;
};
