#include "settingschange.h"

#include "broadcast.h"
#include "settingsfile.h"

namespace SettingsChange {

Outcome apply(SettingsRecord &record, const Values &values, const WindowGeometryTwips &window)
{
    Outcome outcome;
    if (!isValidSubnetMask(values.subnetMask)) {
        outcome.refused = Outcome::Refused::SubnetMask;
        outcome.message =
            QStringLiteral("サブネットマスク「%1」は使えません。\n"
                           "0 から 255 までの数字 4 つを点で区切って入力してください（例：255.255.255.0）。")
                .arg(values.subnetMask);
        return outcome;
    }
    const QString newPort = SettingsFile::formatPortPattern(values.chatPort);
    if (!SettingsFile::chatPortNumber(newPort)) {
        outcome.refused = Outcome::Refused::ChatPort;
        outcome.message =
            QStringLiteral("ポート番号「%1」は使えません。\n1 から 65535 までの数字を入力してください"
                           "（ほかの参加者と同じ番号にします。標準は 1000 です）。")
                .arg(values.chatPort);
        return outcome;
    }

    const QString previousPort = record.chatPort;
    record.userName = values.userName;
    record.subnetMask = values.subnetMask;
    if (values.onlyNotify)
        record.onlyNotify = *values.onlyNotify;
    record.chatPort = newPort;
    outcome.saveError = SettingsFile::save(record, window);

    // The program runs on the port start-up read from the old text; "01000" for "1000" changes nothing.
    if (SettingsFile::chatPortNumber(record.chatPort) != SettingsFile::chatPortNumber(previousPort)) {
        outcome.mustEnd = true;
        outcome.message = QStringLiteral("ポート番号が変更されました、ツール再起動の必要があります\n"
                                         "一旦終了します、再度起動お願いします");
    }
    return outcome;
}

} // namespace SettingsChange
