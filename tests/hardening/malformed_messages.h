#pragma once
// Messages of the user interface in every wrong shape: members of the wrong
// JSON type for each operation, texts that are not JSON, deep nesting and
// texts just under the endpoint's size limit.
//
// None of them is a well-formed machine operation (reboot, shutdown,
// disable-ssh, config_network, init with a mode), and no array of image paths
// or keys in them holds a text, so a session that takes them names no image
// and touches no disk. The only target named is `kNowhereTarget`, a path that
// does not exist.
#include <cstddef>
#include <string>
#include <vector>

inline constexpr const char* kNowhereTarget = "/nonexistent/restore/target";

// JSON texts of every type: null, booleans, numbers at and beyond the
// integer limits, short texts, arrays and objects that hold no text.
std::vector<std::string> wrongValues();

// For every operation that a session takes ("-u", "-e", "-i", "-c", "-r",
// "-m", "auth", "abort", "cancel-restore") and for "op" itself: each member
// and each array element in turn replaced by every wrong value.
std::vector<std::string> wrongMemberTypes();

// "init" with "mode" of every wrong type: each starts an external session.
std::vector<std::string> sessionStartsOfWrongMode();

// Nesting far beyond any parser's limit, bare and inside operations.
std::vector<std::string> deeplyNested(size_t depth = 100000);

// Operations whose text is `size` bytes long (the endpoint's limit is 1 MiB).
std::vector<std::string> nearSizeLimit(size_t size);

// Texts that are not JSON: truncated and almost-right machine operations, and
// `count` lines of printable noise (seeded, so every run sends the same).
std::vector<std::string> notJson(size_t count, unsigned seed);
