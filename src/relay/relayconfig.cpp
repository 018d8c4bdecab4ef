#include "relayconfig.h"

#include <QHostAddress>
#include <QUrl>

namespace RelayConfig {

namespace {

const QStringList valueKeys = {
    QStringLiteral("broker"),
    QStringLiteral("credentials"),
    QStringLiteral("ca"),
    QStringLiteral("cert"),
    QStringLiteral("key"),
    QStringLiteral("chat-port"),
    QStringLiteral("interface"),
    QStringLiteral("subnet-mask"),
    QStringLiteral("site"),
    QStringLiteral("topic-prefix"),
    QStringLiteral("stats-interval"),
    QStringLiteral("allow-plaintext"),
};

std::optional<bool> yesNo(const QString &value)
{
    const QString v = value.toLower();
    if (v == QLatin1String("yes") || v == QLatin1String("true") || v == QLatin1String("1"))
        return true;
    if (v == QLatin1String("no") || v == QLatin1String("false") || v == QLatin1String("0"))
        return false;
    return std::nullopt;
}

std::optional<QString> set(Settings &s, const QString &key, const QString &value)
{
    if (key == QLatin1String("broker"))
        s.broker = value;
    else if (key == QLatin1String("credentials"))
        s.credentials = value;
    else if (key == QLatin1String("ca"))
        s.ca = value;
    else if (key == QLatin1String("cert"))
        s.cert = value;
    else if (key == QLatin1String("key"))
        s.key = value;
    else if (key == QLatin1String("chat-port"))
        s.chatPort = value;
    else if (key == QLatin1String("interface"))
        s.interface = value;
    else if (key == QLatin1String("subnet-mask"))
        s.subnetMask = value;
    else if (key == QLatin1String("site"))
        s.site = value;
    else if (key == QLatin1String("topic-prefix")) {
        if (value.isEmpty() || value.contains(QLatin1Char('+')) || value.contains(QLatin1Char('#')))
            return QStringLiteral("topic-prefix may not be empty or hold + or #");
        s.topicPrefix = value;
    } else if (key == QLatin1String("stats-interval")) {
        bool ok = false;
        const int seconds = value.toInt(&ok);
        if (!ok || seconds < 1)
            return QStringLiteral("stats-interval must be a number of seconds, 1 or more");
        s.statsInterval = seconds;
    } else if (key == QLatin1String("allow-plaintext")) {
        const auto flag = yesNo(value);
        if (!flag)
            return QStringLiteral("allow-plaintext must be yes or no");
        s.allowPlaintext = *flag;
    } else {
        return QStringLiteral("unknown setting \"%1\"").arg(key);
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> applyFile(Settings &settings, const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return QStringLiteral("line %1: expected \"key = value\"").arg(i + 1);
        const auto error = set(settings, line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
        if (error)
            return QStringLiteral("line %1: %2").arg(i + 1).arg(*error);
    }
    return std::nullopt;
}

std::optional<QString> configPathOf(const QStringList &arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--config") && i + 1 < arguments.size())
            return arguments.at(i + 1);
        if (arguments.at(i).startsWith(QLatin1String("--config=")))
            return arguments.at(i).mid(9);
    }
    return std::nullopt;
}

std::optional<QString> applyArguments(Settings &settings, const QStringList &arguments)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString option = arguments.at(i);
        if (option == QLatin1String("--check")) {
            settings.check = true;
            continue;
        }
        if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
            settings.help = true;
            continue;
        }
        if (option == QLatin1String("--allow-plaintext")) {
            settings.allowPlaintext = true;
            continue;
        }
        if (!option.startsWith(QLatin1String("--")))
            return QStringLiteral("unexpected argument \"%1\"").arg(option);
        option = option.mid(2);
        QString value;
        const qsizetype equals = option.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            value = option.mid(equals + 1);
            option = option.left(equals);
        } else {
            if (i + 1 >= arguments.size())
                return QStringLiteral("--%1 needs a value").arg(option);
            value = arguments.at(++i);
        }
        if (option == QLatin1String("config")) {
            settings.configPath = value;
            settings.configNamed = true;
            continue;
        }
        if (!valueKeys.contains(option))
            return QStringLiteral("unknown option --%1").arg(option);
        if (const auto error = set(settings, option, value))
            return QStringLiteral("--%1: %2").arg(option, *error);
    }
    return std::nullopt;
}

std::optional<BrokerUrl> parseBroker(const QString &url, QString *error)
{
    const QUrl parsed(url, QUrl::StrictMode);
    BrokerUrl broker;
    const QString scheme = parsed.scheme();
    if (scheme == QLatin1String("mqtts")) {
        broker.tls = true;
        broker.port = 8883;
    } else if (scheme == QLatin1String("mqtt")) {
        broker.tls = false;
        broker.port = 1883;
    } else {
        *error = QStringLiteral("the broker must be mqtts://host[:port] or mqtt://host[:port], not \"%1\"")
                     .arg(url);
        return std::nullopt;
    }
    if (!parsed.isValid() || parsed.host().isEmpty() || !parsed.userInfo().isEmpty() ||
        (!parsed.path().isEmpty() && parsed.path() != QLatin1String("/"))) {
        *error = QStringLiteral("the broker address \"%1\" is not host[:port]").arg(url);
        return std::nullopt;
    }
    broker.host = parsed.host();
    if (parsed.port() == 0) {
        *error = QStringLiteral("the broker port may not be 0");
        return std::nullopt;
    }
    if (parsed.port() > 0)
        broker.port = quint16(parsed.port());
    return broker;
}

bool isLocalHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

std::optional<Credentials> parseCredentials(const QString &text, QString *error)
{
    Credentials credentials;
    bool user = false;
    bool password = false;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals).trimmed();
        // The password is taken whole: it may itself hold "#" or "=".
        const QString value = equals < 0 ? QString() : line.mid(equals + 1).trimmed();
        if (key == QLatin1String("username")) {
            credentials.username = value;
            user = true;
        } else if (key == QLatin1String("password")) {
            credentials.password = value;
            password = true;
        } else {
            *error = QStringLiteral("the credentials file holds a line other than username = or password =");
            return std::nullopt;
        }
    }
    if (!user || !password || credentials.username.isEmpty()) {
        *error = QStringLiteral("the credentials file needs both a username = and a password = line");
        return std::nullopt;
    }
    return credentials;
}

QString topicLevel(const QString &text)
{
    QString level = text;
    for (QChar &c : level) {
        if (c == QLatin1Char('/') || c == QLatin1Char('+') || c == QLatin1Char('#') || c.isNull() ||
            c.isSpace())
            c = QLatin1Char('_');
    }
    return level;
}

QString usage()
{
    return QStringLiteral(
        "Usage: zumzum-chat-relay [options]\n"
        "Joins the chat of this subnet to the chats of other subnets through an MQTT broker.\n"
        "\n"
        "  --config FILE            settings file (default /etc/zumzum-chat/relay.conf)\n"
        "  --broker URL             mqtts://host[:8883] or mqtt://host[:1883]\n"
        "  --credentials FILE       file with username = ... and password = ... lines\n"
        "  --ca FILE                CA certificate of the broker (default: the system's CA store)\n"
        "  --cert FILE --key FILE   client certificate and its key\n"
        "  --chat-port N            chat port of this subnet's chats (default 1000)\n"
        "  --interface NAME         network interface (default: the one the chat would use)\n"
        "  --subnet-mask MASK       subnet mask (default: the interface's own)\n"
        "  --site NAME              name of this site in logs and status (default: host name)\n"
        "  --allow-plaintext        allow mqtt:// to a broker on another machine\n"
        "  --topic-prefix PREFIX    topic prefix (default zumzum-chat)\n"
        "  --stats-interval SECONDS interval of the counts line (default 600)\n"
        "  --check                  check the settings, connect once, report and exit\n"
        "  --help                   show this text\n");
}

} // namespace RelayConfig
