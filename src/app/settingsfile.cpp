#include "settingsfile.h"

#include "base/cp932.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringList>
#include <cmath>
#include <limits>
#include <unistd.h>

namespace {

const QString defaultChatPort = QStringLiteral("1000");

std::optional<double> toNumber(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    bool ok = false;
    const double value = QLocale::c().toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

template <typename Int> std::optional<Int> toInteger(const QString &text)
{
    const std::optional<double> value = toNumber(text);
    if (!value)
        return std::nullopt;
    const double rounded = std::nearbyint(*value); // the default rounding mode goes half to even
    if (rounded < double(std::numeric_limits<Int>::min()) ||
        rounded > double(std::numeric_limits<Int>::max()))
        return std::nullopt;
    return Int(rounded);
}

QString fieldName(int index)
{
    switch (index) {
    case 1: return QStringLiteral("最前面表示");
    case 3: return QStringLiteral("ウィンドウの左端");
    case 4: return QStringLiteral("ウィンドウの上端");
    case 5: return QStringLiteral("ウィンドウの幅");
    case 6: return QStringLiteral("ウィンドウの高さ");
    case 8: return QStringLiteral("Only受信でお知らせ");
    default: return QString();
    }
}

QString badNumber(const QStringList &fields, int index)
{
    return QStringLiteral("%1 番目の項目（%2）「%3」が数値でないか、範囲外です。")
        .arg(index + 1)
        .arg(fieldName(index), fields.at(index));
}

bool isZeroOrEmptyPort(const QString &chatPort)
{
    if (chatPort.trimmed().isEmpty())
        return true;
    const std::optional<double> value = toNumber(chatPort);
    return value && std::nearbyint(*value) == 0.0;
}

} // namespace

namespace SettingsFile {

QString path(const QString &appFolder)
{
    return appFolder + QStringLiteral("set.txt");
}

Location locate(const LocationFacts &facts)
{
    const QString appFile = path(facts.appFolder);
    if (facts.appFolderWritable)
        return {appFile, appFile};
    const QString userFile = facts.userConfigFolder + QStringLiteral("/set.txt");
    if (!facts.userFileExists && facts.appFileExists)
        return {appFile, userFile};
    return {userFile, userFile};
}

void locateForProgram(SettingsRecord &record, const QString &appFolder)
{
    record.appFolder = appFolder;
    const Location location = locate(probeLocation(appFolder));
    record.settingsReadPath = location.readPath;
    record.settingsSavePath = location.savePath;
}

bool isWritableFolder(const QString &folder)
{
    // access() asks the kernel, which also knows read-only mounts; root passes every mode check.
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

LocationFacts probeLocation(const QString &appFolder)
{
    LocationFacts facts;
    facts.appFolder = appFolder;
    facts.appFolderWritable = isWritableFolder(appFolder);
    facts.userConfigFolder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    facts.userFileExists = QFileInfo(facts.userConfigFolder + QStringLiteral("/set.txt")).isFile();
    facts.appFileExists = QFileInfo(path(appFolder)).isFile();
    return facts;
}

QString readPath(const SettingsRecord &record)
{
    return record.settingsReadPath.isEmpty() ? path(record.appFolder) : record.settingsReadPath;
}

QString savePath(const SettingsRecord &record)
{
    return record.settingsSavePath.isEmpty() ? path(record.appFolder) : record.settingsSavePath;
}

void setDefaults(SettingsRecord &record)
{
    record.restoreGeometry = 1;
    record.winLeft = 0;
    record.winTop = 0;
    record.winWidth = 6630;
    record.winHeight = 4455;
    record.subnetMask = QStringLiteral("255.255.255.0");
    record.onlyNotify = 0;
    record.chatPort = defaultChatPort;
}

std::optional<QString> parseLine(const QString &line, SettingsRecord &record)
{
    const QStringList fields = line.split(QLatin1Char('\t'));
    // Fields are taken in order; a missing one fails where it is first needed.
    const auto missing = [&fields]() {
        return QStringLiteral("項目が %1 個しかありません（9 個以上必要です）。").arg(fields.size());
    };
    const auto number = [&](int index, qint32 &target) -> std::optional<QString> {
        if (index >= fields.size())
            return missing();
        const auto value = toInt32(fields.at(index));
        if (!value)
            return badNumber(fields, index);
        target = *value;
        return std::nullopt;
    };

    record.userName = fields.at(0);
    if (auto error = number(1, record.topMostFlag))
        return error;
    record.topMost = record.topMostFlag == 1;
    record.restoreGeometry = 1;
    for (auto [index, target] : {std::pair{3, &record.winLeft}, std::pair{4, &record.winTop},
                                 std::pair{5, &record.winWidth}, std::pair{6, &record.winHeight}}) {
        if (auto error = number(index, *target))
            return error;
    }
    if (fields.size() <= 7)
        return missing();
    record.subnetMask = fields.at(7);
    if (fields.size() <= 8)
        return missing();
    const auto onlyNotify = toInt16(fields.at(8));
    if (!onlyNotify)
        return badNumber(fields, 8);
    record.onlyNotify = *onlyNotify;

    record.chatPort = fields.size() == 9 ? defaultChatPort : fields.at(9);
    // An empty or zero port would make every later start fail until the file is repaired by hand.
    if (isZeroOrEmptyPort(record.chatPort))
        record.chatPort = defaultChatPort;
    return std::nullopt;
}

std::optional<QString> readFirstLine(QIODevice &device, QString &line)
{
    QByteArray bytes = device.readLine();
    if (bytes.isEmpty()) {
        if (device.atEnd())
            return QStringLiteral("ファイルが空です。");
        return QStringLiteral("読み込みに失敗しました: %1").arg(device.errorString());
    }
    if (bytes.endsWith('\n'))
        bytes.chop(1);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    if (const auto text = Cp932::decodeExactly(bytes)) {
        line = *text;
        return std::nullopt;
    }
    // A file saved by an editor in UTF-8; the next save writes it in code page 932 again, so it
    // is taken only when that save can keep every character.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = Cp932::windowsForms(utf8.decode(bytes));
    const QList<QByteArray> fields = bytes.split('\t');
    int field = 0;
    if (!utf8.hasError()) {
        if (Cp932::canEncode(text)) {
            line = text;
            return std::nullopt;
        }
        while (field < fields.size() - 1 && Cp932::canEncode(QString::fromUtf8(fields.at(field))))
            ++field;
        return QStringLiteral("%1 番目の項目に、シフト JIS（コードページ 932）で書けない文字があります。"
                              "この項目をテキストエディターで直してください。")
            .arg(field + 1);
    }
    // Loading it anyway would replace the bytes by U+FFFD and save them as "?".
    while (field < fields.size() - 1 && Cp932::decodeExactly(fields.at(field)))
        ++field;
    return QStringLiteral("%1 番目の項目に、シフト JIS（コードページ 932）としても UTF-8 "
                          "としても読めないバイトがあります。"
                          "この項目をテキストエディターで直してください。")
        .arg(field + 1);
}

LoadResult load(SettingsRecord &record, const QString &hostName)
{
    setDefaults(record);
    LoadResult result;
    const QString filePath = readPath(record);
    const QFileInfo info(filePath);
    if (!info.exists() || !info.isFile()) {
        record.userName = hostName;
        return result;
    }
    result.fileFound = true;

    const auto failure = [&](const QString &what) {
        return QStringLiteral("設定ファイルを読み込めませんでした。\n%1\n%2\n"
                              "ファイルを直すか、削除してからもう一度起動してください（削除すると標準の設定で"
                              "起動します）。")
            .arg(filePath, what);
    };

    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = failure(file.errorString());
        return result;
    }
    QString line;
    if (const auto error = readFirstLine(file, line)) {
        result.error = failure(*error);
        return result;
    }
    if (const auto error = parseLine(line, record))
        result.error = failure(*error);
    return result;
}

QString formatLine(SettingsRecord &record, const WindowGeometryTwips &window)
{
    record.topMostFlag = record.topMost ? 1 : 0;
    const QStringList fields = {
        record.userName,
        QString::number(record.topMostFlag),
        QString::number(record.restoreGeometry),
        QString::number(window.left),
        QString::number(window.top),
        QString::number(window.width),
        QString::number(window.height),
        record.subnetMask,
        QString::number(record.onlyNotify),
        formatPortPattern(record.chatPort),
    };
    return fields.join(QLatin1Char('\t'));
}

std::optional<QString> save(SettingsRecord &record, const WindowGeometryTwips &window)
{
    const QString filePath = savePath(record);
    const QString folder = QFileInfo(filePath).path();
    // The user's folder appears with the first save; a missing program folder is an error to show.
    if (QDir(folder) != QDir(record.appFolder))
        QDir().mkpath(folder);
    const QByteArray bytes = Cp932::encode(formatLine(record, window)) + QByteArrayLiteral("\r\n");

    QSaveFile file(filePath);
    QString reason;
    // Unbuffered: a buffered QSaveFile reports a short write (full disk, file size limit) as a
    // successful commit and leaves a truncated set.txt.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        reason = file.errorString();
    } else if (file.write(bytes) != bytes.size()) {
        reason = QStringLiteral("書き込みが途中で止まりました（ディスクの空きが足りないなど）。");
        file.cancelWriting();
    } else if (!file.commit()) {
        reason = file.errorString();
    } else {
        return std::nullopt;
    }
    return QStringLiteral("設定を保存できませんでした。\n%1\n%2\n"
                          "前の設定ファイルはそのまま残っています。フォルダーへの書き込み権限とディスクの空き"
                          "容量を確かめてください。")
        .arg(filePath, reason);
}

QString formatPortPattern(const QString &chatPort)
{
    const std::optional<double> value = toNumber(chatPort);
    if (!value)
        return chatPort.trimmed().isEmpty() ? QString() : chatPort;
    const double rounded = std::round(*value);
    if (rounded == 0.0)
        return QString();
    return QString::number(rounded, 'f', 0);
}

std::optional<qint32> toInt32(const QString &text)
{
    return toInteger<qint32>(text);
}

std::optional<qint16> toInt16(const QString &text)
{
    return toInteger<qint16>(text);
}

std::optional<quint16> chatPortNumber(const QString &chatPort)
{
    const auto value = toInt32(chatPort);
    if (!value || *value < 1 || *value > 65535)
        return std::nullopt;
    return quint16(*value);
}

} // namespace SettingsFile
