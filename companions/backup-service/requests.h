#pragma once
// The text commands of the backup protocol, from the service's side: parsing
// a request and composing the framed text replies. Downloads are streams and
// live in image_stream.h.
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "credentials.h"
#include "store.h"

struct Request {
  std::string command;  // everything before "#pw="
  bool password_ok = false;
  std::map<std::string, std::string> params;
};

// Nullopt when the payload carries no "#pw=" at all. The password is matched
// as a known prefix rather than cut at the first "&", because values travel
// unescaped and a password may itself contain "&".
std::optional<Request> parseRequest(const std::string& payload, const std::string& service_password);

// Shared by all connections of one service run.
class RequestHandler {
public:
  explicit RequestHandler(Store store) : store_(std::move(store)) {}

  const Store& store() const { return store_; }

  std::string saltReply(const Request& request);
  std::string loginReply(const Request& request);
  std::string clientsReply(const Request& request) const;
  std::string imagesReply(const Request& request, const std::string& client) const;

  // An open store (no users) serves everyone; otherwise listings and
  // downloads wait for the first successful login of the run.
  bool mayServe(const Request& request) const;

private:
  Store store_;
  ChallengeBook challenges_;
  std::atomic<bool> logged_in_{false};
};

bool parseInteger(const std::string& text, int64_t& value);
