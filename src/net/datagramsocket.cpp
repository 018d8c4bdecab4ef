#include "datagramsocket.h"

DatagramSocket::~DatagramSocket() = default;
