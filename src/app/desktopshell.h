#pragma once

#include "shell.h"

class DesktopShell : public Shell
{
public:
    void openUrl(const QString &target) override;
};
