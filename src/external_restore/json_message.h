#pragma once
// Reading the user interface's messages without trusting their shape, and
// sending the session's replies. JsonCpp throws when a value of the wrong type
// is read (asString() on an array, operator[] on a string); everything here
// checks the type first, so no message can stop the session thread.
#include <string>
#include <vector>

#include <json/value.h>

// Parses `text` into `value`. False when it is not valid JSON; never throws.
bool parseMessage(const std::string& text, Json::Value& value);

// The member `key` of `object` when `object` is an object and the member is a
// string; the empty string otherwise.
std::string textMember(const Json::Value& object, const char* key);

// The string elements of `array`, in order; other elements are skipped, and a
// value that is not an array gives an empty list.
std::vector<std::string> textList(const Json::Value& array);

// The member `key` of `object`, or null when `object` is not an object.
const Json::Value& memberOf(const Json::Value& object, const char* key);

// Logs the styled text of `reply` and appends it to resp_queue.
void sendReply(const Json::Value& reply);
