#pragma once
// The files of the web page, read from one folder. Only GET and HEAD, only
// files of a few known kinds, never anything outside the folder (no "..",
// however encoded, no symbolic link that leads out), nothing above a size
// limit.
#include <cstddef>
#include <filesystem>
#include <string>

struct StaticReply {
  int status = 404;  // 200, 400, 404 or 405
  std::string contentType;
  std::string body;  // empty for HEAD and for refusals
  std::size_t size = 0;  // Content-Length: the file's size, also for HEAD
};

inline constexpr std::size_t staticFileSizeLimit = std::size_t{1} << 20;

// `target` is the request target as received (path and query); "/" is
// index.html.
StaticReply serveStaticFile(const std::filesystem::path& root, const std::string& method,
                            const std::string& target, std::size_t sizeLimit = staticFileSizeLimit);
