#pragma once

#include <QString>

// The desktop's default opener.
class Shell
{
public:
    virtual ~Shell();
    // Returns at once; the opener's own result is not waited for.
    virtual void openUrl(const QString &target) = 0;
};
