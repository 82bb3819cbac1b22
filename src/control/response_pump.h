#pragma once
#include "control/endpoint.h"

// Takes the next text from resp_queue (waiting for one) and sends it to the
// oldest open connection of `endpoint`. While no connection is open the text
// is held until one opens, so nothing queued for the user interface is lost.
void pumpOneResponse(WsEndpoint& endpoint);
