#pragma once

#include "brokerlink.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

// libmosquitto on a thread of its own: connecting and TLS handshakes block there, never the
// thread that serves the LAN. What arrives is handed to the owner's thread by queued calls.
// The thread also decides when to connect again, so that a refusal waits long and a lost
// connection short.
class MosquittoLink : public BrokerLink
{
    Q_OBJECT

public:
    struct Options
    {
        QString host;
        quint16 port = 8883;
        bool tls = true;
        QString ca; // empty: the system's CA store
        QString cert;
        QString key;
        QString username; // empty: none
        QString password;
        QString clientId;
        QString willTopic; // empty: no will
        int keepAliveSeconds = 5;
        int unsentLimit = 1000;    // publications not yet written to the socket
        int incomingLimit = 65536; // messages handed over and not yet taken
        int refusedRetrySeconds = 60;
    };

    explicit MosquittoLink(Options options, QObject *parent = nullptr);
    ~MosquittoLink() override;

    // Fails with a reason when the TLS files or the options cannot be used.
    bool start(QString *error);
    // False when the thread is still stuck in connecting after waitMs (a host that does not
    // answer): it is then left to the ending of the process.
    bool stop(int waitMs = 3000);

    bool publish(const QString &topic, const QByteArray &payload, bool retain) override;
    void subscribe(const QString &pattern, Delivery delivery) override;

    quint64 droppedIncoming() const { return m_droppedIncoming.load(); }

private:
    void run();
    void runUntilStopped();
    bool waitSeconds(int seconds);
    static void onConnect(mosquitto *, void *self, int rc, int flags, const mosquitto_property *);
    static void onDisconnect(mosquitto *, void *self, int rc, const mosquitto_property *);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *, const mosquitto_property *);
    static void onPublish(mosquitto *, void *self, int mid, int rc, const mosquitto_property *);

    Options m_options;
    mosquitto *m_client = nullptr;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_finished = false;
    bool m_abandoned = false;
    std::atomic<bool> m_connected{false};
    std::atomic<int> m_connack{-1};
    std::atomic<int> m_unsent{0};
    std::atomic<int> m_incoming{0};
    std::atomic<quint64> m_droppedIncoming{0};
};
