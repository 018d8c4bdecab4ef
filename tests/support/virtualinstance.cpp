#include "virtualinstance.h"

#include "ui/form1.h"
#include "windowexposure.h"

#include <QCoreApplication>

namespace Bench {

bool VirtualInstance::start()
{
    if (!instance.start() || !waitUntilExposed(instance.form()))
        return false;
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
    return true;
}

} // namespace Bench
