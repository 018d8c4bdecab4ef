#pragma once

#include "diagnosis.h"

#include <QObject>

class DatagramNetwork;

// Joins the LAN as the chat starts, listens for the answers, then leaves as the chat closes, so
// peers see a start and a close. Fills the live fields of the diagnosis.
class LiveCheck : public QObject
{
    Q_OBJECT

public:
    LiveCheck(DatagramNetwork &network, QObject *parent = nullptr);

    // Binds with the diagnosis' mask and chat port, runs the event loop for listenMs, leaves.
    void run(Diagnosis &diagnosis, const QString &userName, int listenMs);

private:
    DatagramNetwork &m_network;
};
