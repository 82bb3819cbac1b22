#pragma once
// The log line lives in support, below every layer that logs; this name stays
// for the code that reached it here.
#include "support/log_line.h"
