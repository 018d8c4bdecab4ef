#pragma once

#include "app/shell.h"

#include <cstdio>

// Prints one line "shell open <target>" instead of opening anything.
class PrintingShell : public Shell
{
public:
    explicit PrintingShell(std::FILE *stream) : m_stream(stream) {}

    void openUrl(const QString &target) override;

private:
    std::FILE *m_stream;
};
