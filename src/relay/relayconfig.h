#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

// The relay's settings: built-in defaults, then relay.conf, then the command line.
namespace RelayConfig {

inline const QString defaultPath = QStringLiteral("/etc/zumzum-chat/relay.conf");

struct Settings
{
    QString configPath = defaultPath;
    bool configNamed = false; // given with --config: then it must exist
    QString broker;
    QString credentials;
    QString ca;
    QString cert;
    QString key;
    QString chatPort = QStringLiteral("1000");
    QString interface;
    QString subnetMask;
    QString site;
    bool allowPlaintext = false;
    QString topicPrefix = QStringLiteral("zumzum-chat");
    int statsInterval = 600;
    bool check = false;
    bool help = false;
};

struct BrokerUrl
{
    bool tls = true;
    QString host;
    quint16 port = 8883;
};

// "key = value" lines; "#" starts a comment. The error names the line.
std::optional<QString> applyFile(Settings &settings, const QString &text);
// The options after the program name; --config is taken out first by configPathOf().
std::optional<QString> applyArguments(Settings &settings, const QStringList &arguments);
std::optional<QString> configPathOf(const QStringList &arguments);

std::optional<BrokerUrl> parseBroker(const QString &url, QString *error);
// Plain text may only go to this machine, unless the operator said otherwise.
bool isLocalHost(const QString &host);

struct Credentials
{
    QString username;
    QString password;
};
std::optional<Credentials> parseCredentials(const QString &text, QString *error);

// A topic level: what MQTT forbids there ("/", "+", "#", NUL) becomes "_".
QString topicLevel(const QString &text);

QString usage();

} // namespace RelayConfig
