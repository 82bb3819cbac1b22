#pragma once
#include <string>

// Writes `line` and a line feed to standard output as one piece and flushes,
// so that lines from the I/O thread, the pump and the sessions never
// interleave and a log file read while the agent runs is always current.
// Control characters in `line` are written escaped ("\n", "\x1b"): much of
// what is logged comes from users, stick files and the backup service, and a
// line feed in a client name must not forge a line of its own.
void logLine(const std::string& line);

// Like logLine, but keeps the line feeds and tabs of a text laid out over
// several lines, for texts the agent wrote itself (its styled JSON messages).
void logLayout(const std::string& text);

// `text` with every control character escaped, but line feeds and tabs
// when `keepLayout`.
std::string escapeControlCharacters(const std::string& text, bool keepLayout = false);
