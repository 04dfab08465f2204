// gdb_transport.h - the sockets of the GDB-server driver: the network module's transport, with a
// receive suited to many small request-reply exchanges on Windows.
#pragma once
#include "net_transport.h"

// The platform's transport for GDB links.
const NetTransport* gdb_transport_platform();
