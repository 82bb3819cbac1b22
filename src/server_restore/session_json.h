#pragma once
// Reading the user interface's operations without trusting their shape, and
// sending the session's answers. JsonCpp throws when a value of the wrong type
// is read (asString() on an array, operator[] with a key on a string), so
// every read here checks the type first.
#include <optional>
#include <string>

#include <json/value.h>

namespace server_restore {

// Parses `text`; false when it is not valid JSON. Never throws.
bool parseOperation(const std::string& text, Json::Value& value);

// A member expected to hold text: a missing or null member reads as the empty
// text, a string as itself; any other type gives nothing.
std::optional<std::string> textMember(const Json::Value& object, const char* key);

// The member `key`, or null when `object` is not an object.
const Json::Value& memberOf(const Json::Value& object, const char* key);

// The styled JSON text of `value`, as every outgoing message is written.
std::string styled(const Json::Value& value);

// {"op": op, "msg": msg}
Json::Value opMessage(const std::string& op, const std::string& msg);

}  // namespace server_restore
