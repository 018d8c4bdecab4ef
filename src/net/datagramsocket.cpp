#include "datagramsocket.h"

DatagramSocket::~DatagramSocket() = default;
DatagramNetwork::~DatagramNetwork() = default;
