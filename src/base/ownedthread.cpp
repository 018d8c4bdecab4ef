#include "ownedthread.h"

void ThreadStopper::operator()(QThread *thread) const
{
    thread->quit();
    thread->wait();
    delete thread;
}
