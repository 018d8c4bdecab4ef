#include "participants.h"

namespace Participants {

QString entry(const QString &name, const QString &address)
{
    return name + separator + address;
}

QString address(const QString &entry)
{
    const QStringList pieces = entry.split(separator);
    return pieces.size() > 1 ? pieces.at(1) : QString();
}

int f_listChk(const QStringList &entries, const QString &address)
{
    for (int i = 0; i < entries.size(); ++i) {
        if (Participants::address(entries.at(i)) == address)
            return i;
    }
    return -1;
}

QString joinLine(const QString &name, const QString &timeOfDay)
{
    return name + QStringLiteral("さんが参加しました\t") + timeOfDay;
}

QString leaveLine(const QString &name, const QString &timeOfDay)
{
    return name + QStringLiteral("さんが退場しました\t") + timeOfDay;
}

QString networkChangeLine(const QString &oldAddress, const QString &newAddress, const QString &timeOfDay)
{
    const auto shown = [](const QString &address) {
        return address.isEmpty() ? QStringLiteral("なし") : address;
    };
    return QStringLiteral("ネットワークが変わりました（%1 → %2）\t")
               .arg(shown(oldAddress), shown(newAddress)) +
           timeOfDay;
}

int answerDelayMs(const QString &localIp)
{
    const QStringList parts = localIp.split(QLatin1Char('.'));
    if (parts.size() < 4)
        return 0;
    bool ok = false;
    const int last = parts.at(3).toInt(&ok);
    return ok && last > 0 && last <= 255 ? last * 10 : 0;
}

} // namespace Participants
