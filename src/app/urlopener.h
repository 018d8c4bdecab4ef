#pragma once

#include <QString>

// The desktop's default opener.
class UrlOpener
{
public:
    virtual ~UrlOpener();
    // Returns at once; the opener's own result is not waited for.
    virtual void openUrl(const QString &target) = 0;
};
