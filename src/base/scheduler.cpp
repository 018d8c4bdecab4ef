#include "scheduler.h"

Scheduler::~Scheduler() = default;
