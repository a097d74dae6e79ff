#pragma once
// Loopback ports for tests that start servers of their own (broker, database, web view).

#include <QtGlobal>

// A TCP port on 127.0.0.1 that nothing listens on right now.
quint16 freeLoopbackPort();
// Waits up to timeoutMs for something to accept connections on 127.0.0.1:port.
bool waitForListener(quint16 port, int timeoutMs);
