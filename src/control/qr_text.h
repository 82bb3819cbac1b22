#pragma once
// A QR code drawn with text, for the console above the login prompt: a
// phone held up to the screen opens the agent's page without anyone typing
// a token.
#include <string>
#include <vector>

// The QR code of `text` (low error correction, so that it stays small enough
// for an 80x25 console) as lines of Unicode block characters, two modules
// per character cell, with a quiet zone of `quietModules` around it. Light
// modules are drawn lit: a console shows light text on a dark screen, and
// scanners look for dark modules on a light ground. Nothing when the text
// cannot be encoded.
std::vector<std::string> qrTextLines(const std::string& text, int quietModules = 2);
