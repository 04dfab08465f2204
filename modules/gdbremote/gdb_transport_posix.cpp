// gdb_transport_posix.cpp - BSD sockets: poll() wakes promptly, the network module's transport
// serves as it is.
#include "gdb_transport.h"

const NetTransport* gdb_transport_platform() { return net_transport_platform(); }
