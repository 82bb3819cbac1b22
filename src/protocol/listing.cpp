#include "protocol/listing.h"

#include <cstdlib>
#include <unordered_set>

#include "protocol/server_connection.h"
#include "support/text.h"

namespace {

// The listing requests give the service half the usual time to accept.
constexpr unsigned int listingConnectTimeoutMs = 30000;

std::vector<std::string> replyLines(const std::string& reply) {
  std::vector<std::string> lines;
  Tokenize(reply.substr(1), lines, "\n");
  return lines;
}

SImage imageFrom(const std::string& id, const std::string& time, const std::string& date) {
  SImage image;
  image.image_id = static_cast<int>(std::strtol(id.c_str(), nullptr, 10));
  image.backup_time = std::strtoll(time.c_str(), nullptr, 10);
  image.backup_date = date;
  return image;
}

}  // namespace

std::vector<std::string> parseBackupclients(const std::string& reply) {
  std::vector<std::string> clients;
  if (reply.empty()) {
    return clients;
  }
  // A set beside the list: a search of the list for every line would take
  // hours over a reply of a few megabytes.
  std::unordered_set<std::string> seen;
  for (const std::string& line : replyLines(reply)) {
    const std::string name = trim2(getafter("|", line));
    if (!name.empty() && seen.insert(name).second) {
      clients.push_back(name);
    }
  }
  return clients;
}

std::vector<SImage> parseBackupimages(const std::string& reply) {
  std::vector<SImage> images;
  if (reply.empty()) {
    return images;
  }
  for (const std::string& line : replyLines(reply)) {
    std::vector<std::string> fields;
    Tokenize(line, fields, "|");
    if (fields.size() == 3) {
      images.push_back(imageFrom(fields[0], fields[1], fields[2]));
    } else if (fields.size() == 4 && fields[0] == "#") {
      if (!images.empty()) {
        images.back().associated.push_back(imageFrom(fields[1], fields[2], fields[3]));
      }
    } else if (fields.size() == 4) {
      SImage image = imageFrom(fields[0], fields[1], fields[2]);
      image.letter = fields[3];
      images.push_back(image);
    }
  }
  return images;
}

std::vector<std::string> getBackupclients(int* err) {
  *err = 0;
  const std::string reply =
      requestReply("GET BACKUPCLIENTS#pw=" + readServicePassword(), listingConnectTimeoutMs, err);
  if (*err != 0) {
    return {};
  }
  if (reply.empty()) {
    *err = 1;
    return {};
  }
  if (reply[0] == '0') {
    *err = 2;
    return {};
  }
  return parseBackupclients(reply);
}

std::vector<SImage> getBackupimages(std::string clientname, int* err) {
  *err = 0;
  const std::string reply = requestReply("GET BACKUPIMAGES " + clientname + "#pw=" + readServicePassword(),
                                         listingConnectTimeoutMs, err);
  if (*err != 0) {
    return {};
  }
  if (reply.empty() || reply[0] == '0') {
    *err = 1;
    return {};
  }
  return parseBackupimages(reply);
}
