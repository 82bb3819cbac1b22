#pragma once
// A host elsewhere on the LAN, for tests of the real agent: inside the test's
// own network namespace an extra address on the loopback interface is not a
// loopback address, so a connection from it is a remote peer's.
#include <string>

// TEST-NET-1: never routed, and here only on the namespace's loopback.
inline constexpr const char* remotePeerAddress = "192.0.2.10";

// Moves the test process into a network namespace of its own that has
// remotePeerAddress; empty on success, else why not. Must run before the
// process has a second thread: unshare refuses a process with threads.
std::string enterNetworkWithRemotePeer();

// A TCP connection to the agent's port at `address`, made from that same
// address; -1 when it cannot be made.
int tcpConnectionTo(const std::string& address);

// One plain HTTP exchange with the agent at `address`: the whole answer, or
// what came before the agent closed the connection (5 s at most per read).
std::string httpExchange(const std::string& address, const std::string& request);

// The first line of an HTTP answer.
std::string statusLine(const std::string& answer);
