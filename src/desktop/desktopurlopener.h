#pragma once

#include "app/urlopener.h"

class DesktopUrlOpener : public UrlOpener
{
public:
    void openUrl(const QString &target) override;
};
