#pragma once
// Texts from the user interface go to the log; a password must not.
#include <string>

// What the log may show of a message from the user interface. A JSON object
// with a text "op" comes back unchanged, unless a member anywhere in it is
// named "pass" in any spelling ("Pass", "p\u0061ss"): then it is written
// anew with those values as "***". Anything else (not JSON, not an object,
// an "op" that is not text) might hide a password where no parse finds it,
// so only its length is shown.
std::string maskSecrets(const std::string& text);
