// A door's listener inside TLS: every connection it takes speaks TLS from its first byte,
// with the certificate in force when it arrives.
#pragma once
#include "core/connection.h"
#include "core/services.h"

// The factory of such a listener: the door's connection, whose steps begin once the
// handshake is done (within tlsHandshakeTimeout).
ConnectionFactory overTls(ConnectionFactory door, Services& services);
