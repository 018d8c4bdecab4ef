#pragma once

#include "settingsrecord.h"

#include <QString>
#include <optional>

class QIODevice;

// s_settingFile: the one-line, TAB-separated set.txt, in code page 932. It lives in the program
// folder when that can be written, in the user's configuration folder when not.
namespace SettingsFile {

QString path(const QString &appFolder);

// What decides where set.txt is read and saved.
struct LocationFacts
{
    QString appFolder; // with a trailing separator
    bool appFolderWritable = true;
    QString userConfigFolder; // the per-user folder, without a trailing separator
    bool userFileExists = false;
    bool appFileExists = false;
};

struct Location
{
    QString readPath;
    QString savePath;
};

// Beside the program when its folder is writable (portable use). Otherwise saved in the user's
// folder, and read from there, or, until the user has a file, from the program folder's set.txt
// (an administrator's defaults).
Location locate(const LocationFacts &facts);

// The facts of the real file system for a program folder; the user's folder is the application's
// configuration location.
LocationFacts probeLocation(const QString &appFolder);

// Sets the record's program folder and, from the real file system, where its set.txt is read and
// saved.
void locateForProgram(SettingsRecord &record, const QString &appFolder);

// Whether this process may create files in the folder (false for a missing folder).
bool isWritableFolder(const QString &folder);

// The paths the record carries, or beside the program when it carries none.
QString readPath(const SettingsRecord &record);
QString savePath(const SettingsRecord &record);

// Load step 1: the values a record has before (or without) a settings file.
void setDefaults(SettingsRecord &record);

// Load step 4 on one line. On failure the record keeps every field taken before the failing one.
std::optional<QString> parseLine(const QString &line, SettingsRecord &record);

// Reads the first line of the device (CR LF or LF), decoded from code page 932, or from UTF-8 when
// it is not code page 932 but is UTF-8. Bytes that are neither fail, so nothing is lost on save.
std::optional<QString> readFirstLine(QIODevice &device, QString &line);

struct LoadResult
{
    bool fileFound = false;
    std::optional<QString> error; // what failed and what the user can do
};

// Defaults, then the file at readPath(record) if there is one; without a file the user name
// becomes hostName.
LoadResult load(SettingsRecord &record, const QString &hostName);

// The saved line, without its line end. Sets topMostFlag from topMost first.
QString formatLine(SettingsRecord &record, const WindowGeometryTwips &window);

// Writes the line with CR LF to savePath(record) through a temporary file that replaces set.txt
// only once it is complete, so a failed save leaves the previous file as it was. The user's
// configuration folder is created when missing; the program folder never is.
std::optional<QString> save(SettingsRecord &record, const WindowGeometryTwips &window);

// The digit pattern "#####": integer digits without leading zeros, zero and empty give the empty
// text, a text that is not a number is returned unchanged.
QString formatPortPattern(const QString &chatPort);

// Text to integer as the settings file reads numbers: blanks around are allowed, a fraction is
// rounded half to even; anything else, or a value out of range, gives nothing.
std::optional<qint32> toInt32(const QString &text);
std::optional<qint16> toInt16(const QString &text);

// The port the chat socket binds for a chatPort text: the text read as the file's numbers are
// read, then the range of a port.
std::optional<quint16> chatPortNumber(const QString &chatPort);

} // namespace SettingsFile
