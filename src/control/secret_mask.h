#pragma once
// Texts from the user interface go to the log; a password must not.
#include <string>

// `text` with the value of every "pass" member replaced by "***". Works on
// any text, JSON or not: a value cut off at the end of a broken text is
// masked to the end.
std::string maskSecrets(const std::string& text);
