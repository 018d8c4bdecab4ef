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

    // Runs the event loop for listenMs; record carries userName, subnetMask and chatPort.
    void run(Diagnosis &diagnosis, const QString &userName, int listenMs);

private:
    DatagramNetwork &m_network;
};
