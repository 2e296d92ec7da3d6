// The control messages that carry what the kernel tells about a received
// datagram: asked for by receive_facts_on, read by the receive calls.
#pragma once

#include <sys/socket.h>

#include "platform/winsock.hpp"

namespace platform {

// Room for the control messages of one datagram: a stamp (three of them
// with SO_TIMESTAMPING), a TTL and a TOS, with space to spare for one
// message the layer does not read.
constexpr int receive_control_size = 192;

// Reads the stamp, TTL and TOS from the control messages of a received
// message; what is not there stays unknown.  Messages the kernel cut short
// are ignored.
void read_receive_facts(const msghdr* message, receive_facts* facts);

}  // namespace platform
