#include "requests.h"

#include <algorithm>

namespace {

const char kPasswordField[] = "#pw=";
const char kNotAllowed[] = "0wrong service password";
const char kLoginRequired[] = "0login required";

bool isPasswordParam(const std::string& key) {
  return key.size() > 8 && key.rfind("password", 0) == 0 &&
         std::all_of(key.begin() + 8, key.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool parseInteger(const std::string& text, int64_t& value) {
  if (text.empty() || text.size() > 20) {
    return false;
  }
  size_t used = 0;
  try {
    value = std::stoll(text, &used);
  } catch (...) {
    return false;
  }
  return used == text.size();
}

std::optional<Request> parseRequest(const std::string& payload, const std::string& service_password) {
  const auto field = payload.find(kPasswordField);
  if (field == std::string::npos) {
    return std::nullopt;
  }
  Request request;
  request.command = payload.substr(0, field);
  std::string rest = payload.substr(field + sizeof(kPasswordField) - 1);
  request.password_ok = rest.compare(0, service_password.size(), service_password) == 0 &&
                        (rest.size() == service_password.size() || rest[service_password.size()] == '&');
  if (!request.password_ok) {
    return request;
  }
  rest.erase(0, service_password.size());
  size_t at = 0;
  while (at < rest.size()) {
    const size_t next = std::min(rest.find('&', at + 1), rest.size());
    const std::string pair = rest.substr(at + 1, next - at - 1);
    const auto eq = pair.find('=');
    if (eq != std::string::npos) {
      request.params.emplace(pair.substr(0, eq), pair.substr(eq + 1));
    }
    at = next;
  }
  return request;
}

std::string RequestHandler::saltReply(const Request& request) {
  if (!request.password_ok) {
    return "wrong service password";
  }
  const auto wanted = request.params.find("username");
  if (wanted != request.params.end()) {
    for (const StoreUser& user : store_.users()) {
      if (user.name == wanted->second) {
        std::string reply = "ok;" + user.salt + ";" + challenges_.issue(user.name);
        if (user.rounds > 0) {
          reply += ";" + std::to_string(user.rounds);
        }
        return reply;
      }
    }
  }
  // Anything not starting with "ok;" is a placeholder entry for the client.
  return "unknown user";
}

std::string RequestHandler::loginReply(const Request& request) {
  if (!request.password_ok) {
    return "wrong service password";
  }
  const auto users = store_.users();
  if (users.empty()) {
    return "ok";
  }
  const auto wanted = request.params.find("username");
  if (wanted == request.params.end()) {
    return "login required";
  }
  const auto user = std::find_if(users.begin(), users.end(), [&](const StoreUser& u) { return u.name == wanted->second; });
  if (user == users.end()) {
    return "login failed";
  }
  for (const auto& [key, value] : request.params) {
    if (isPasswordParam(key) && challenges_.redeem(*user, value)) {
      logged_in_ = true;
      return "ok";
    }
  }
  return "login failed";
}

bool RequestHandler::mayServe(const Request& request) const {
  return request.password_ok && (logged_in_ || store_.users().empty());
}

std::string RequestHandler::clientsReply(const Request& request) const {
  if (!request.password_ok) {
    return kNotAllowed;
  }
  if (!mayServe(request)) {
    return kLoginRequired;
  }
  std::string reply = "1";
  int index = 0;
  for (const std::string& client : store_.clients()) {
    reply += std::to_string(++index) + "|" + client + "\n";
  }
  return reply;
}

std::string RequestHandler::imagesReply(const Request& request, const std::string& client) const {
  if (!request.password_ok) {
    return kNotAllowed;
  }
  if (!mayServe(request)) {
    return kLoginRequired;
  }
  const auto clients = store_.clients();
  if (std::find(clients.begin(), clients.end(), client) == clients.end()) {
    return "0unknown client";
  }
  const auto images = store_.images(client);
  std::string reply = "1";
  for (const ImageMeta& image : images) {
    if (image.associated_to != 0) {
      continue;
    }
    reply += std::to_string(image.id) + "|" + std::to_string(image.time) + "|" + image.date + "|" + image.letter + "\n";
    for (const ImageMeta& member : images) {
      if (member.associated_to == image.id) {
        reply += "#|" + std::to_string(member.id) + "|" + std::to_string(member.time) + "|" + member.date + "\n";
      }
    }
  }
  return reply;
}
