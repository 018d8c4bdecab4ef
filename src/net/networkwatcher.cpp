#include "networkwatcher.h"

NetworkWatcher::~NetworkWatcher() = default;
