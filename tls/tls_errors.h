// The TLS library's reasons, as text for the console and the client's messages.
#pragma once
#include <string>

// The reason of the oldest error the library queued ("wrong version number"), or "" when
// none is queued; the queue is emptied, so that no reason is left for the next session.
std::string takeTlsError();
