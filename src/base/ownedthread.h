#pragma once

#include <QThread>
#include <memory>

// Quits the thread's event loop and waits for it to end before the thread object goes, so that no
// owner can forget to and nothing on the thread outlives what it uses.
struct ThreadStopper
{
    void operator()(QThread *thread) const;
};

using OwnedThread = std::unique_ptr<QThread, ThreadStopper>;
