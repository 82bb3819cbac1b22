#pragma once
// Connections to the backup service on this machine and the request form that
// every command shares: "<command>#pw=<service password>[&key=value...]".
#include <netinet/in.h>

#include <string>

#include "protocol/pipe.h"

namespace Server {
// A connected pipe owned by the caller, or null. `timeout` bounds the connect
// in milliseconds.
IPipe* ConnectStream(std::string host, unsigned short port, unsigned int timeout);
}  // namespace Server

// IPv4 address of `host` (a dotted address is taken as it is).
bool LookupBlocking(std::string host, in_addr* dst);
// Reverse look-up of a dotted IPv4 address.
bool LookupHostname(const std::string& ip, std::string& hostname);

constexpr unsigned short serviceport = 35623;

// The service password file, relative to the working directory.
extern const char* const pw_file;

// Connects to the backup service with a 60 s time-out; null and err = 10 when
// nobody answers.
IPipe* connectToService(int* err);

// The whole password file, read afresh for every request (empty when unreadable).
std::string readServicePassword();
// The same for the file at `path`. A file that group or others may read is
// refused (empty, and a log line): the password it holds opens every backup.
std::string readPasswordFile(const std::string& path);

// One request on its own connection: sends `command` (10 s send time-out) and
// returns the framed reply, empty when none came. Sets err = 10 and returns
// empty when the connection could not be made; leaves err alone otherwise.
std::string requestReply(const std::string& command, unsigned int connectTimeoutMs, int* err);
