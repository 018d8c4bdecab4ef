// Arbitrary bytes as set.txt: what loads must come back unchanged after a save and a second load,
// a second save must write the same bytes, and a port that loaded must be one start-up accepts.
#include "fuzzsupport.h"

#include "app/settingsfile.h"
#include "fixedclock.h"
#include "manualscheduler.h"
#include "net/chatsession.h"
#include "virtuallan.h"

#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <cmath>
#include <cstdint>

namespace {

QTemporaryDir *folder;

QString appFolder()
{
    return folder->path() + QLatin1Char('/');
}

void writeFile(const QByteArray &bytes)
{
    QFile file(SettingsFile::path(appFolder()));
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
}

QByteArray readFile()
{
    QFile file(SettingsFile::path(appFolder()));
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

std::optional<double> portValue(const QString &port)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(port.trimmed(), &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

void checkSameField(bool same, const char *field, const QString &before, const QString &after)
{
    FUZZ_CHECK(same, "%s changed: [%s] -> [%s]", field, fuzzShow(before).constData(),
               fuzzShow(after).constData());
}

void checkRoundTrip(const SettingsRecord &first, const SettingsRecord &second)
{
    checkSameField(first.userName == second.userName, "user name", first.userName, second.userName);
    checkSameField(first.subnetMask == second.subnetMask, "subnet mask", first.subnetMask, second.subnetMask);
    const auto number = [](qint64 value) { return QString::number(value); };
    checkSameField(first.topMost == second.topMost, "always on top", number(first.topMost),
                   number(second.topMost));
    // The flag is saved as the state it stands for.
    checkSameField(second.topMostFlag == (first.topMost ? 1 : 0), "always-on-top flag",
                   number(first.topMostFlag), number(second.topMostFlag));
    checkSameField(first.restoreGeometry == second.restoreGeometry, "restore geometry",
                   number(first.restoreGeometry), number(second.restoreGeometry));
    checkSameField(first.winLeft == second.winLeft, "left", number(first.winLeft), number(second.winLeft));
    checkSameField(first.winTop == second.winTop, "top", number(first.winTop), number(second.winTop));
    checkSameField(first.winWidth == second.winWidth, "width", number(first.winWidth),
                   number(second.winWidth));
    checkSameField(first.winHeight == second.winHeight, "height", number(first.winHeight),
                   number(second.winHeight));
    checkSameField(first.onlyNotify == second.onlyNotify, "only-notify", number(first.onlyNotify),
                   number(second.onlyNotify));

    // The port is saved as a whole number: a number keeps its rounded value, other text stays.
    const auto before = portValue(first.chatPort);
    const auto after = portValue(second.chatPort);
    if (before)
        checkSameField(after && *after == std::round(*before), "chat port", first.chatPort, second.chatPort);
    else
        checkSameField(first.chatPort == second.chatPort, "chat port", first.chatPort, second.chatPort);
}

// A port that set.txt loads as a number of a port must open the chat channel at start-up.
void checkStartUpAcceptsPort(const SettingsRecord &loaded)
{
    const auto value = portValue(loaded.chatPort);
    if (!value)
        return;
    const double port = std::nearbyint(*value);
    // 50011 is the presence port: that one cannot be bound twice.
    if (port < 1 || port > 65535 || port == 50011)
        return;
    SettingsRecord record = loaded;
    record.subnetMask = QStringLiteral("255.255.255.0");
    VirtualLan lan;
    const auto host = lan.addHost(QStringLiteral("198.18.0.5"), QStringLiteral("host"));
    FixedClock clock;
    ManualScheduler time;
    ChatSession session(record, *host, clock, time);
    const auto error = session.open();
    FUZZ_CHECK(!error, "port [%s] loaded but start-up refused it: %s", fuzzShow(loaded.chatPort).constData(),
               qPrintable(error.value_or(QString())));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzEnsureApplication();
    folder = new QTemporaryDir;
    FUZZ_CHECK(folder->isValid());
    std::atexit([] { delete folder; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    writeFile(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));

    SettingsRecord first;
    first.appFolder = appFolder();
    if (SettingsFile::load(first, QStringLiteral("host")).error)
        return 0;
    const SettingsRecord loaded = first; // save() sets the flag in the record it is given

    const WindowGeometryTwips geometry{first.winLeft, first.winTop, first.winWidth, first.winHeight};
    const auto saveError = SettingsFile::save(first, geometry);
    FUZZ_CHECK(!saveError, "save: %s", qPrintable(saveError.value_or(QString())));
    const QByteArray saved = readFile();

    SettingsRecord second;
    second.appFolder = appFolder();
    const auto reloaded = SettingsFile::load(second, QStringLiteral("other-host"));
    FUZZ_CHECK(reloaded.fileFound && !reloaded.error, "the saved file [%s] does not load: %s",
               saved.toHex().constData(), qPrintable(reloaded.error.value_or(QString())));
    checkRoundTrip(loaded, second);

    // Saved once, the file no longer changes.
    const WindowGeometryTwips secondGeometry{second.winLeft, second.winTop, second.winWidth,
                                             second.winHeight};
    FUZZ_CHECK(!SettingsFile::save(second, secondGeometry));
    const QByteArray savedAgain = readFile();
    FUZZ_CHECK(savedAgain == saved, "second save differs: [%s] then [%s]", saved.toHex().constData(),
               savedAgain.toHex().constData());

    checkStartUpAcceptsPort(loaded);
    return 0;
}
