#pragma once
// The listening service: 127.0.0.1 only, one thread per connection, framed
// text commands in, framed replies or download streams out.
#include <cstdint>
#include <string>

#include "faults.h"
#include "store.h"

struct ServeOptions {
  Store store{""};
  uint16_t port = 35623;
  std::string service_password;
  FaultPlan faults;
};

// Runs until the process is killed; returns only when listening fails, with
// the reason in `error`.
int serve(const ServeOptions& options, std::string& error);
