#pragma once

#include <QString>
#include <QtGlobal>

// The program-wide state (Module1). The application owns one instance and hands it to its windows.
struct SettingsRecord
{
    QString userName;
    bool topMost = false;
    qint32 topMostFlag = 0;
    qint32 restoreGeometry = 0;
    qint32 winLeft = 0;
    qint32 winTop = 0;
    qint32 winWidth = 0;
    qint32 winHeight = 0;
    QString subnetMask;
    qint16 onlyNotify = 0; // only 1 is on; 2 is the grey state of a Windows check box, kept as it is
    QString chatPort;

    // not stored in set.txt
    QString appFolder; // the program folder, with a trailing separator
    // Where set.txt is read at start-up and saved; empty: beside the program (SettingsFile::locate).
    QString settingsReadPath;
    QString settingsSavePath;
    QString localIp;
    QString broadcastAddress;
};

// Outer window geometry in twips, as the settings file stores it.
struct WindowGeometryTwips
{
    qint32 left = 0;
    qint32 top = 0;
    qint32 width = 0;
    qint32 height = 0;
};
