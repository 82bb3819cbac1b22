#include "store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

#include "support/io.h"
#include "support/system_error.h"
#include "support/unique_fd.h"

namespace fs = std::filesystem;

namespace {

// False with errno set when the file could not be written and flushed.
bool writeFileDurably(const fs::path& path, const std::string& content) {
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  return file.get() >= 0 && writeFull(file.get(), content.data(), content.size()) && ::fsync(file.get()) == 0 &&
         file.close();
}

std::map<std::string, std::string> readKeyValues(const fs::path& path) {
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) {
      values[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return values;
}

bool parseNumber(const std::string& text, int64_t& value) {
  if (text.empty()) {
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

std::optional<ImageMeta> readMeta(const fs::path& dir) {
  auto values = readKeyValues(dir / "meta");
  ImageMeta meta;
  int64_t id = 0, associated = 0, partition = 0;
  if (!parseNumber(values["id"], id) || !parseNumber(values["time"], meta.time) ||
      !parseNumber(values["associated_to"], associated) || !parseNumber(values["image_size"], meta.image_size) ||
      !parseNumber(values["data_blocks"], meta.data_blocks) || !parseNumber(values["partition"], partition)) {
    return std::nullopt;
  }
  meta.id = static_cast<int>(id);
  meta.associated_to = static_cast<int>(associated);
  meta.partition = static_cast<int>(partition);
  meta.client = values["client"];
  meta.date = values["date"];
  meta.letter = values["letter"];
  meta.source = values["source"];
  return meta;
}

std::string metaText(const ImageMeta& meta) {
  std::ostringstream out;
  out << "id=" << meta.id << "\nclient=" << meta.client << "\ntime=" << meta.time << "\ndate=" << meta.date
      << "\nletter=" << meta.letter << "\nassociated_to=" << meta.associated_to << "\nimage_size=" << meta.image_size
      << "\ndata_blocks=" << meta.data_blocks << "\nsource=" << meta.source << "\npartition=" << meta.partition
      << "\n";
  return out.str();
}

bool isDecimal(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool hasNone(const std::string& text, const std::string& forbidden) {
  return std::none_of(text.begin(), text.end(), [&](char c) {
    return forbidden.find(c) != std::string::npos || static_cast<unsigned char>(c) < 0x20;
  });
}

}  // namespace

bool isValidClientName(const std::string& name) {
  // "|" and line ends split listing lines, "#" starts the password field of a
  // request, "/" would leave the clients directory.
  return !name.empty() && name.size() <= 200 && name != "." && name != ".." && name[0] != '.' &&
         name.front() != ' ' && name.back() != ' ' && hasNone(name, "|#/&\\");
}

bool isValidUserName(const std::string& name) {
  return !name.empty() && name.size() <= 100 && hasNone(name, " |#/&;=\\");
}

bool isValidLetter(const std::string& letter) {
  return !letter.empty() && letter.size() <= 32 && hasNone(letter, "|#/&\\");
}

std::string formatBackupDate(int64_t time) {
  const std::time_t seconds = static_cast<std::time_t>(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &parts);
  return text;
}

bool readWholeFile(const fs::path& path, std::string& content, size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  content.clear();
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got == 0) {
      break;
    }
    if (got < 0 || content.size() + static_cast<size_t>(got) > limit) {
      ok = false;
      break;
    }
    content.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return ok;
}

bool Store::exists() const { return fs::is_directory(root_ / "clients"); }

bool Store::create(std::string& error) const {
  std::error_code failure;
  fs::create_directories(root_ / "clients", failure);
  if (failure) {
    error = "cannot create the store " + root_.string() + ": " + failure.message();
    return false;
  }
  return true;
}

std::vector<std::string> Store::clients() const {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(root_ / "clients", ignored)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory() && isValidClientName(name)) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<ImageMeta> Store::images(const std::string& client) const {
  std::vector<ImageMeta> found;
  if (!isValidClientName(client)) {
    return found;
  }
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(root_ / "clients" / client, ignored)) {
    if (!entry.is_directory() || !isDecimal(entry.path().filename().string())) {
      continue;  // staging directories of captures still running start with "."
    }
    if (auto meta = readMeta(entry.path()); meta && meta->client == client) {
      found.push_back(*meta);
    }
  }
  std::sort(found.begin(), found.end(), [](const ImageMeta& a, const ImageMeta& b) { return a.id < b.id; });
  return found;
}

std::optional<ImageMeta> Store::findImage(int id) const {
  for (const std::string& client : clients()) {
    const fs::path dir = imageDir(client, id);
    if (fs::is_directory(dir)) {
      if (auto meta = readMeta(dir); meta && meta->id == id && meta->client == client) {
        return meta;
      }
    }
  }
  return std::nullopt;
}

fs::path Store::imageDir(const std::string& client, int id) const {
  return root_ / "clients" / client / std::to_string(id);
}

std::optional<int> Store::allocateId(std::string& error) const {
  const fs::path counter = root_ / "next-id";
  const int fd = ::open(counter.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
    if (fd >= 0) {
      ::close(fd);
    }
    error = "cannot lock " + counter.string();
    return std::nullopt;
  }
  char text[32] = {};
  const ssize_t got = ::pread(fd, text, sizeof(text) - 1, 0);
  int64_t next = 1;
  if (got > 0 && !parseNumber(std::string(text, static_cast<size_t>(got)), next)) {
    next = 0;
  }
  std::optional<int> id;
  if (next < 1 || next >= 0x7FFFFFFF) {
    error = counter.string() + " holds no valid image id";
  } else {
    const std::string following = std::to_string(next + 1);
    if (::ftruncate(fd, 0) == 0 &&
        ::pwrite(fd, following.data(), following.size(), 0) == static_cast<ssize_t>(following.size()) &&
        ::fsync(fd) == 0) {
      id = static_cast<int>(next);
    } else {
      error = "cannot update " + counter.string();
    }
  }
  ::close(fd);  // releases the lock
  return id;
}

bool Store::commitImage(const fs::path& staging, const ImageMeta& image, std::string& error) const {
  if (!writeFileDurably(staging / "meta", metaText(image))) {
    error = systemError("cannot write the image's meta file");
    return false;
  }
  std::error_code failure;
  fs::rename(staging, imageDir(image.client, image.id), failure);
  if (failure) {
    error = "cannot move the image into place: " + failure.message();
    return false;
  }
  return true;
}

std::vector<StoreUser> Store::users() const {
  std::vector<StoreUser> found;
  std::ifstream in(root_ / "users");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    StoreUser user;
    if (fields >> user.name >> user.salt >> user.rounds >> user.digest) {
      found.push_back(user);
    }
  }
  return found;
}

bool Store::addUser(const StoreUser& user, std::string& error) const {
  std::string content;
  for (const StoreUser& existing : users()) {
    if (existing.name != user.name) {
      content += existing.name + " " + existing.salt + " " + std::to_string(existing.rounds) + " " +
                 existing.digest + "\n";
    }
  }
  content += user.name + " " + user.salt + " " + std::to_string(user.rounds) + " " + user.digest + "\n";
  const fs::path staging = root_ / ".users.new";
  std::error_code failure;
  if (!writeFileDurably(staging, content)) {
    error = systemError("cannot write " + staging.string());
    return false;
  }
  fs::rename(staging, root_ / "users", failure);
  if (failure) {
    error = "cannot replace the users file: " + failure.message();
    return false;
  }
  return true;
}
