#pragma once

#include "busconnector.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

// Qt 6.4 asks only once whether assistive technology wants the window's accessible tree: when the
// accessibility bus's name appears on the session bus, which on a desktop is at login. A screen
// reader turned on while the program runs was never heard of. This follows org.a11y.Status
// (IsEnabled, ScreenReaderEnabled) and on each change has Qt's bridge ask again, so the program
// joins and leaves the accessibility bus with the screen reader, without a restart. While no
// screen reader is on it costs one signal subscription, made after the join notice.
// Qt 6.8 follows the status itself (its bridge's bus object, renamed, subscribes to it): there
// this finds no bridge and does nothing.
class ScreenReaderFollower : public QObject
{
    Q_OBJECT

public:
    // sessionBusAddress: the bus to follow instead of Qt's (see SessionBusDetour); empty for Qt's.
    explicit ScreenReaderFollower(const QString &sessionBusAddress = {}, QObject *parent = nullptr);
    ~ScreenReaderFollower() override;

    // After QApplication and before the first window: has Qt set up its accessibility bridge now,
    // as the first widget would, and keeps hold of the part of it that asks the bus. False when
    // Qt made none (no session bus, a platform without the bridge) or follows the status itself.
    bool findBridge();
    // Subscribes to the status on a thread of its own (see BusConnector).
    void start();
    bool connecting() const;

    // Whether a PropertiesChanged of the bus's status concerns the question Qt asks.
    static bool concernsScreenReader(const QString &interface, const QVariantMap &changed,
                                     const QStringList &invalidated);

private slots:
    void onPropertiesChanged(const QString &interface, const QVariantMap &changed,
                             const QStringList &invalidated);

private:
    void askAgain();
    bool eventFilter(QObject *watched, QEvent *event) override;

    QPointer<QObject> m_bridgeConnection;
    BusConnector m_connector;
    const QString m_sessionBusAddress;
};
