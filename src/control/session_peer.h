#pragma once
// The network address of the peer whose "init" opened each session
// generation. The session itself never sees its connection; what it does on
// that peer's behalf (a password tried) is counted against this address.
#include <string>

void recordSessionPeer(unsigned generation, const std::string& address);
// The address recorded for the calling thread's generation; empty when none
// was (a thread that is no session, or a session started without a peer).
std::string sessionPeerAddress();
