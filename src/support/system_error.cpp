#include "support/system_error.h"

#include <cerrno>
#include <cstring>

std::string systemError(const std::string& what) { return systemError(what, errno); }

std::string systemError(const std::string& what, int code) { return what + ": " + std::strerror(code); }
