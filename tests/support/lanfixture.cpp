#include "lanfixture.h"

LanWithInstances::LanWithInstances(const QList<int> &lastOctets)
{
    for (int last : lastOctets) {
        instances.push_back(std::make_unique<Instance>(lan, time, QStringLiteral("198.18.0.%1").arg(last),
                                                       QStringLiteral("host%1").arg(last)));
        if (!instances.back()->start())
            qFatal("instance %d did not start", last);
    }
}
