#pragma once

class Clock;
class DatagramNetwork;
class DesktopSignals;
class MessageBox;
class Scheduler;
class Shell;

// What one instance needs from the machine, handed to it at construction.
struct Services
{
    DatagramNetwork &network;
    MessageBox &messages;
    const Clock &clock;
    Shell &shell;
    Scheduler &scheduler;
    DesktopSignals &desktop;
};
