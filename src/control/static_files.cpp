#include "control/static_files.h"

#include "control/access_policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace {

constexpr std::array<std::pair<const char*, const char*>, 7> contentTypes{{
    {".html", "text/html; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".svg", "image/svg+xml"},
    {".png", "image/png"},
    {".ico", "image/x-icon"},
    {".json", "application/json"},
}};

std::string contentTypeOf(const std::filesystem::path& file) {
  const std::string extension = file.extension().string();
  for (const auto& [known, type] : contentTypes) {
    if (extension == known) {
      return type;
    }
  }
  return std::string();
}

// The path below the folder, or nothing when the target names anything that
// could lead outside it.
std::optional<std::filesystem::path> relativePath(const std::string& target) {
  const std::string encoded = target.substr(0, target.find('?'));
  const std::optional<std::string> path = percentDecode(encoded);
  if (!path || path->empty() || path->front() != '/' || path->find('\\') != std::string::npos) {
    return std::nullopt;
  }
  if (*path == "/") {
    return std::filesystem::path("index.html");
  }
  std::filesystem::path relative;
  std::size_t start = 1;
  while (start <= path->size()) {
    std::size_t end = path->find('/', start);
    if (end == std::string::npos) {
      end = path->size();
    }
    const std::string piece = path->substr(start, end - start);
    if (piece.empty() || piece == "." || piece == "..") {
      return std::nullopt;
    }
    relative /= piece;
    start = end + 1;
  }
  return relative;
}

bool isInside(const std::filesystem::path& folder, const std::filesystem::path& file) {
  const auto [folderEnd, fileAt] = std::mismatch(folder.begin(), folder.end(), file.begin(), file.end());
  return folderEnd == folder.end() && fileAt != file.end();
}

}  // namespace

StaticReply serveStaticFile(const std::filesystem::path& root, const std::string& method,
                            const std::string& target, std::size_t sizeLimit) {
  StaticReply reply;
  if (method != "GET" && method != "HEAD") {
    reply.status = 405;
    return reply;
  }
  const std::optional<std::filesystem::path> relative = relativePath(target);
  if (!relative) {
    reply.status = 400;
    return reply;
  }
  const std::string type = contentTypeOf(*relative);
  if (type.empty()) {
    return reply;
  }
  // Symbolic links are followed only as far as they stay in the folder.
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::canonical(root, ec);
  if (ec) {
    return reply;
  }
  const std::filesystem::path file = std::filesystem::canonical(folder / *relative, ec);
  if (ec || !isInside(folder, file)) {
    return reply;
  }
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return reply;
  }
  struct stat status{};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) > sizeLimit) {
    ::close(fd);
    return reply;
  }
  std::string body(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (method == "GET" && done < body.size()) {
    const ssize_t got = ::read(fd, body.data() + done, body.size() - done);
    if (got <= 0) {
      ::close(fd);
      return reply;
    }
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  reply.status = 200;
  reply.contentType = type;
  reply.size = body.size();
  if (method == "GET") {
    reply.body = std::move(body);
  }
  return reply;
}
