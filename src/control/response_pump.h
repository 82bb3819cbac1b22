#pragma once
#include "control/endpoint.h"

// Takes the next text from resp_queue (waiting for one) and sends it: a text
// for every connection to each open one, any other to the connection that
// started the session it was queued for, or, when that one has gone or there
// is none, to the oldest open connection. While no connection is open the text
// is held until one opens, so nothing queued for the user interface is lost.
void pumpOneResponse(WsEndpoint& endpoint);

// Sends `text` to `connection` alone, logging it and a failed send.
void sendLogged(const WsConnectionPtr& connection, const std::string& text);
