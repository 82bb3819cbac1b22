#pragma once
// TCP sockets on 127.0.0.1 for tests that play the agent's peers or knock on
// its ports. Descriptors are close-on-exec; -1 means it did not work.

// A listening socket on `port` (0: one the system picks).
int listenOnLoopback(unsigned short port, int backlog);
// The port a socket is bound to, 0 when unknown.
unsigned short boundPort(int socket);
// A socket connected to `port`.
int connectToLoopback(unsigned short port);
// True when something accepts connections on `port`.
bool loopbackPortAccepts(unsigned short port);
