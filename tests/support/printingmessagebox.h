#pragma once

#include "app/messagebox.h"

#include <cstdio>

// A message box would wait for a click that never comes: prints one line
// "messagebox <title>: <text>" instead and counts it.
class PrintingMessageBox : public MessageBox
{
public:
    explicit PrintingMessageBox(std::FILE *stream) : m_stream(stream) {}

    void critical(QWidget *parent, const QString &title, const QString &text) override;

    int shown = 0;

private:
    std::FILE *m_stream;
};
