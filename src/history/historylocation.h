#pragma once

#include <QString>

// Where history.sqlite lives: beside set.txt when the settings are kept in the program folder (a
// portable copy takes its history along), otherwise in the user's data folder.
namespace HistoryLocation {

// settingsSavePath: where set.txt is saved; appFolder: the program folder with its trailing
// separator; dataHome: $XDG_DATA_HOME or its default, without a trailing separator.
QString path(const QString &settingsSavePath, const QString &appFolder, const QString &dataHome);

// $XDG_DATA_HOME, or ~/.local/share when it is not set.
QString systemDataHome();

// The program's own folder under the data home: dataHome/zumzum-chat.
QString dataFolder(const QString &dataHome);

// Creates the file's folder with mode 0700 when it is missing. An existing one is tightened to 0700
// when it is the program's own folder under dataHome and belongs to the user; any other is left as
// it is. Returns what failed, empty on success.
QString prepareFolder(const QString &filePath, const QString &dataHome);

} // namespace HistoryLocation
