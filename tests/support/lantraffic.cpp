#include "lantraffic.h"

#include "base/cp932.h"

QStringList sentTexts(const VirtualLan &lan, quint16 port, const QString &from)
{
    QStringList texts;
    for (const VirtualLan::Datagram &datagram : lan.sentTo(port)) {
        if (from.isEmpty() || datagram.from.toString() == from)
            texts.append(Cp932::decode(datagram.payload));
    }
    return texts;
}
