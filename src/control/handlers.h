#pragma once
#include "control/endpoint.h"
#include "control/operations.h"

// Installs the agent's four handlers on `endpoint`: their log lines, the
// isClientConnected flag, and the dispatch of every received text through
// `environment`, which must outlive the endpoint.
void installHandlers(WsEndpoint& endpoint, OperationEnvironment& environment);

// "Error: " + category + ":" + value + ", error message: " + text, the form
// every logged error code takes.
std::string describeError(const boost::system::error_code& ec);
