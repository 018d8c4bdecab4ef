#pragma once

#include "settingsrecord.h"

#include <QString>
#include <functional>
#include <optional>

// What Ok in the settings dialog does with the values the user entered: refuse what would break
// the broadcast address or every later start, else write the record and save set.txt once.
namespace SettingsChange {

struct Values
{
    QString userName;
    QString subnetMask;
    QString chatPort;
    // Unset while the check box still shows the grey state it was loaded with: the stored value stays.
    std::optional<qint16> onlyNotify;
};

struct Outcome
{
    enum class Refused { Nothing, SubnetMask, ChatPort };
    Refused refused = Refused::Nothing;
    // What the dialog tells the user: why a value was refused, or that the program ends for the
    // new port.
    QString message;
    std::optional<QString> saveError;
    // The sockets take the port only at start-up: the program must end now.
    bool mustEnd = false;
};

Outcome apply(SettingsRecord &record, const Values &values, const WindowGeometryTwips &window);

// The function a dialog is handed: the record, the window geometry and the session are the caller's.
using Apply = std::function<Outcome(const Values &)>;

} // namespace SettingsChange
