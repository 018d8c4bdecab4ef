#pragma once

class BadgeAndNotifications;
class Clock;
class DatagramNetwork;
class MessageBox;
class Scheduler;
class UrlOpener;

// What one instance needs from the machine, handed to it at construction.
struct Services
{
    DatagramNetwork &network;
    MessageBox &messages;
    const Clock &clock;
    UrlOpener &urlOpener;
    Scheduler &scheduler;
    BadgeAndNotifications &badgeAndNotifications;
    // Shares served over HTTP and downloads, on the machine's own network: the in-memory LAN of
    // the tests has no TCP, so instances on it neither serve nor fetch files.
    bool sharesFiles;
};
