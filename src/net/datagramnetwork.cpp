#include "datagramnetwork.h"

DatagramNetwork::~DatagramNetwork() = default;
