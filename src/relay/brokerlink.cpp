#include "brokerlink.h"

BrokerLink::~BrokerLink() = default;
LanLink::~LanLink() = default;
