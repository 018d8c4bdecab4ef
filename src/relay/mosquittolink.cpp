#include "mosquittolink.h"

#include <QMetaObject>
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr int maximumBackoffSeconds = 60;

bool isRefusal(int reason)
{
    // MQTT 3 return codes 4 and 5 and their MQTT 5 counterparts.
    return reason == 4 || reason == 5 || reason == MQTT_RC_BAD_USERNAME_OR_PASSWORD ||
           reason == MQTT_RC_NOT_AUTHORIZED || reason == MQTT_RC_CLIENTID_NOT_VALID ||
           reason == MQTT_RC_BANNED || reason == MQTT_RC_BAD_AUTHENTICATION_METHOD;
}

} // namespace

MosquittoLink::MosquittoLink(Options options, QObject *parent)
    : BrokerLink(parent), m_options(std::move(options))
{
}

MosquittoLink::~MosquittoLink()
{
    stop();
    if (m_client && !m_abandoned)
        mosquitto_destroy(m_client);
}

bool MosquittoLink::start(QString *error)
{
    m_client = mosquitto_new(m_options.clientId.toUtf8().constData(), true, this);
    if (!m_client) {
        *error = QStringLiteral("cannot create the MQTT client");
        return false;
    }
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Lines are small writes: with Nagle's algorithm on, a busy subnet's lines wait for the ACK of
    // the one before (milliseconds each). The broker needs set_tcp_nodelay too.
    mosquitto_int_option(m_client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_threaded_set(m_client, true);
    mosquitto_connect_v5_callback_set(m_client, &MosquittoLink::onConnect);
    mosquitto_disconnect_v5_callback_set(m_client, &MosquittoLink::onDisconnect);
    mosquitto_message_v5_callback_set(m_client, &MosquittoLink::onMessage);
    mosquitto_publish_v5_callback_set(m_client, &MosquittoLink::onPublish);
    int rc = MOSQ_ERR_SUCCESS;
    if (m_options.tls) {
        const QByteArray ca = m_options.ca.toLocal8Bit();
        const QByteArray cert = m_options.cert.toLocal8Bit();
        const QByteArray key = m_options.key.toLocal8Bit();
        rc = mosquitto_tls_set(
            m_client, ca.isEmpty() ? nullptr : ca.constData(), ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
            cert.isEmpty() ? nullptr : cert.constData(), key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("cannot use the TLS files (CA, certificate, key): %1")
                         .arg(QString::fromUtf8(mosquitto_strerror(rc)));
            return false;
        }
    }
    if (!m_options.username.isEmpty()) {
        rc = mosquitto_username_pw_set(m_client, m_options.username.toUtf8().constData(),
                                       m_options.password.toUtf8().constData());
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("cannot use the credentials: %1")
                         .arg(QString::fromUtf8(mosquitto_strerror(rc)));
            return false;
        }
    }
    if (!m_options.willTopic.isEmpty()) {
        // An empty retained will clears this relay's status when the broker loses it.
        rc = mosquitto_will_set_v5(m_client, m_options.willTopic.toUtf8().constData(), 0, nullptr, 1, true,
                                   nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error =
                QStringLiteral("cannot set the last will: %1").arg(QString::fromUtf8(mosquitto_strerror(rc)));
            return false;
        }
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

bool MosquittoLink::stop(int waitMs)
{
    {
        std::unique_lock lock(m_mutex);
        m_stopping = true;
        m_wake.notify_all();
        if (!m_thread.joinable())
            return !m_abandoned;
        if (!m_wake.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_finished; })) {
            m_abandoned = true;
            m_thread.detach();
            return false;
        }
    }
    m_thread.join();
    return true;
}

bool MosquittoLink::waitSeconds(int seconds)
{
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_stopping; });
}

void MosquittoLink::run()
{
    runUntilStopped();
    std::lock_guard lock(m_mutex);
    m_finished = true;
    m_wake.notify_all();
}

void MosquittoLink::runUntilStopped()
{
    const QByteArray host = m_options.host.toUtf8();
    int backoff = 1;
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
        }
        m_connack = -1;
        int rc = mosquitto_connect_bind_v5(m_client, host.constData(), m_options.port,
                                           m_options.keepAliveSeconds, nullptr, nullptr);
        while (rc == MOSQ_ERR_SUCCESS) {
            {
                std::lock_guard lock(m_mutex);
                if (m_stopping)
                    break;
            }
            rc = mosquitto_loop(m_client, 200, 1);
        }
        const bool wasConnected = m_connected.exchange(false);
        m_unsent = 0;
        bool stopping = false;
        {
            std::lock_guard lock(m_mutex);
            stopping = m_stopping;
        }
        if (stopping) {
            if (rc == MOSQ_ERR_SUCCESS) {
                // The will goes out on this ending too, so the others know at once.
                mosquitto_disconnect_v5(m_client, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
                for (int i = 0; i < 10 && mosquitto_loop(m_client, 100, 1) == MOSQ_ERR_SUCCESS; ++i) {
                }
            }
            return;
        }
        const int connack = m_connack.load();
        if (connack > 0 && isRefusal(connack)) {
            const QString reason = QString::fromUtf8(mosquitto_reason_string(connack));
            const int retry = m_options.refusedRetrySeconds;
            QMetaObject::invokeMethod(
                this, [this, reason, retry] { emit refused(reason, retry); }, Qt::QueuedConnection);
            mosquitto_disconnect(m_client);
            if (!waitSeconds(retry))
                return;
            continue;
        }
        if (wasConnected)
            backoff = 1;
        QString reason = connack > 0 ? QString::fromUtf8(mosquitto_reason_string(connack))
                                     : QString::fromUtf8(mosquitto_strerror(rc));
        if (rc == MOSQ_ERR_ERRNO)
            reason = QString::fromLocal8Bit(std::strerror(errno));
        if (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        if (!wasConnected)
            reason = QStringLiteral("cannot connect to %1:%2: %3")
                         .arg(m_options.host)
                         .arg(m_options.port)
                         .arg(reason);
        reason += QStringLiteral("; next try in %1 s").arg(backoff);
        QMetaObject::invokeMethod(
            this, [this, reason] { emit disconnected(reason); }, Qt::QueuedConnection);
        mosquitto_disconnect(m_client);
        if (!waitSeconds(backoff))
            return;
        backoff = std::min(backoff * 2, maximumBackoffSeconds);
    }
}

void MosquittoLink::onConnect(mosquitto *, void *self, int rc, int, const mosquitto_property *)
{
    auto *link = static_cast<MosquittoLink *>(self);
    link->m_connack = rc;
    if (rc != 0)
        return;
    link->m_unsent = 0;
    link->m_connected = true;
    QMetaObject::invokeMethod(
        link, [link] { emit link->connected(); }, Qt::QueuedConnection);
}

void MosquittoLink::onDisconnect(mosquitto *, void *, int, const mosquitto_property *) {}

void MosquittoLink::onMessage(mosquitto *, void *self, const mosquitto_message *message,
                              const mosquitto_property *)
{
    auto *link = static_cast<MosquittoLink *>(self);
    if (link->m_incoming.load() >= link->m_options.incomingLimit) {
        ++link->m_droppedIncoming;
        return;
    }
    ++link->m_incoming;
    const QString topic = QString::fromUtf8(message->topic);
    const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    const bool retained = message->retain;
    QMetaObject::invokeMethod(
        link,
        [link, topic, payload, retained] {
            --link->m_incoming;
            emit link->messageReceived(topic, payload, retained);
        },
        Qt::QueuedConnection);
}

void MosquittoLink::onPublish(mosquitto *, void *self, int, int, const mosquitto_property *)
{
    auto *link = static_cast<MosquittoLink *>(self);
    if (link->m_unsent.load() > 0)
        --link->m_unsent;
}

bool MosquittoLink::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    if (!m_connected.load() || m_unsent.load() >= m_options.unsentLimit)
        return false;
    ++m_unsent;
    const int rc = mosquitto_publish_v5(m_client, nullptr, topic.toUtf8().constData(), int(payload.size()),
                                        payload.constData(), retain ? 1 : 0, retain, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        --m_unsent;
        return false;
    }
    return true;
}

void MosquittoLink::subscribe(const QString &pattern, Delivery delivery)
{
    if (!m_connected.load())
        return;
    mosquitto_subscribe_v5(m_client, nullptr, pattern.toUtf8().constData(), 1,
                           delivery == Delivery::OthersOnly ? MQTT_SUB_OPT_NO_LOCAL : 0, nullptr);
}
