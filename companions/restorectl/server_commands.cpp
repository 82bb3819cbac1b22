#include <algorithm>

#include "commands.h"
#include "disk_steps.h"
#include "sentences.h"
#include "server_login.h"
#include "tables.h"

namespace restorectl {
namespace {

bool knownClient(Driver& driver, const std::vector<std::string>& clients, const std::string& client) {
  if (std::find(clients.begin(), clients.end(), client) != clients.end()) {
    return true;
  }
  driver.endSession();
  driver.fail(kFailed, "The backup server has no client named \"" + client + "\"" +
                           (clients.empty() ? "." : "; its clients are " + joinNames(clients) + "."));
  return false;
}

std::optional<std::vector<ImageEntry>> listImages(Driver& driver, const std::string& client) {
  if (!driver.send(imageListRequest(client))) {
    return std::nullopt;
  }
  const auto reply = driver.await({"-e", "error"}, "the images of \"" + client + "\"");
  if (!reply) {
    return std::nullopt;
  }
  if (reply->op == "error") {
    driver.endSession();
    driver.fail(kFailed, listingErrorSentence(parseListingError(*reply), client));
    return std::nullopt;
  }
  auto images = parseImageList(*reply);
  if (!images) {
    driver.endSession();
    driver.fail(kFailed, "The agent sent an image list that restorectl cannot read.");
  }
  return images;
}

// Logs in, checks the client and lists its images: the start of every server
// command that works on images.
std::optional<std::vector<ImageEntry>> imagesOfClient(Driver& driver, const std::string& client) {
  const auto clients = logInToServer(driver);
  if (!clients || !knownClient(driver, *clients, client)) {
    return std::nullopt;
  }
  return listImages(driver, client);
}

bool knownKeys(Driver& driver, const std::vector<ImageEntry>& images, const std::string& client,
               const std::vector<std::string>& keys) {
  std::vector<std::string> unknown;
  for (const auto& key : keys) {
    const bool listed = std::any_of(images.begin(), images.end(),
                                    [&](const ImageEntry& image) { return image.path == key; });
    if (!listed) {
      unknown.push_back("\"" + key + "\"");
    }
  }
  if (unknown.empty()) {
    return true;
  }
  driver.endSession();
  driver.fail(kFailed, "The client \"" + client + "\" has no image " + joinNames(unknown) +
                           "; \"restorectl server images " + client + "\" lists its image keys.");
  return false;
}

}  // namespace

int serverClients(Driver& driver) {
  const auto clients = logInToServer(driver);
  if (!clients) {
    return driver.failure();
  }
  driver.endSession();
  if (clients->empty()) {
    return driver.fail(kFailed, "The backup server has no backup clients.");
  }
  for (const auto& client : *clients) {
    driver.out() << client << '\n';
  }
  return kSuccess;
}

int serverImages(Driver& driver, const std::string& client) {
  const auto images = imagesOfClient(driver, client);
  if (!images) {
    return driver.failure();
  }
  driver.endSession();
  printImages(driver.out(), *images, "Image key");
  return kSuccess;
}

int serverReport(Driver& driver, const std::string& client, const std::vector<std::string>& keys) {
  const auto images = imagesOfClient(driver, client);
  if (!images || !knownKeys(driver, *images, client, keys)) {
    return driver.failure();
  }
  const auto report = requestDiskReport(driver, keys);
  if (!report) {
    return driver.failure();
  }
  driver.endSession();
  printDiskReport(driver.out(), *report);
  return kSuccess;
}

int serverRestore(Driver& driver, const std::string& client, const std::vector<RestoreTarget>& targets) {
  std::vector<std::string> keys;
  for (const auto& target : targets) {
    keys.insert(keys.end(), target.images.begin(), target.images.end());
  }
  const auto images = imagesOfClient(driver, client);
  if (!images || !knownKeys(driver, *images, client, keys)) {
    return driver.failure();
  }
  return restoreTargets(driver, targets, true);
}

}  // namespace restorectl
