#pragma once
// TCP sockets on 127.0.0.1 for tests that play the agent's peers or knock on
// its ports. Descriptors are close-on-exec; -1 means it did not work.
#include <chrono>
#include <string>

// A listening socket on `port` (0: one the system picks).
int listenOnLoopback(unsigned short port, int backlog);
// The port a socket is bound to, 0 when unknown.
unsigned short boundPort(int socket);
// A socket connected to `port`.
int connectToLoopback(unsigned short port);
// True when something accepts connections on `port`.
bool loopbackPortAccepts(unsigned short port);
// The next connection on `listener` (without Nagle's delay), or -1 when none
// arrives within `timeout`.
int acceptWithin(int listener, std::chrono::milliseconds timeout);
// One request framed as the agent sends them to the backup service (4-byte
// little-endian length, then the text), within `timeout`.
bool receiveFrame(int socket, std::chrono::milliseconds timeout, std::string& frame);
// Sends all of `bytes`; stops quietly at the first failed send (the peer
// under test may close the connection at any time).
void sendAll(int socket, const std::string& bytes);
