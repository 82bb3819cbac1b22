#pragma once
// The on-disk store of the backup service: clients, their images and the
// users allowed to log in. Layout in README.md beside this file. Every reader
// looks at the directories afresh, so a running service sees new captures.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// One stored block of an image: an 8-byte little-endian position followed by
// the 4096 bytes, exactly as the image-mode stream carries it.
constexpr int64_t kBlockSize = 4096;
constexpr int64_t kBlockRecordSize = 8 + kBlockSize;

struct ImageMeta {
  int id = 0;
  std::string client;
  int64_t time = 0;          // seconds since the epoch
  std::string date;          // "YYYY-MM-DD HH:MM", UTC
  std::string letter;
  int associated_to = 0;     // 0: a top-level image
  int64_t image_size = 0;    // bytes of the partition
  int64_t data_blocks = 0;   // block records in blocks.bin
  std::string source;        // disk the image was captured from
  int partition = 0;
};

struct StoreUser {
  std::string name;
  std::string salt;
  int rounds = 0;
  std::string digest;  // what the client derives from salt and password before the challenge
};

class Store {
public:
  explicit Store(std::filesystem::path root) : root_(std::move(root)) {}

  const std::filesystem::path& root() const { return root_; }
  bool exists() const;
  bool create(std::string& error) const;

  // Sorted by name.
  std::vector<std::string> clients() const;
  // Sorted by id; images whose meta cannot be read are left out.
  std::vector<ImageMeta> images(const std::string& client) const;
  std::optional<ImageMeta> findImage(int id) const;

  std::filesystem::path imageDir(const std::string& client, int id) const;
  std::filesystem::path recordPath(const ImageMeta& image) const { return imageDir(image.client, image.id) / "record.bin"; }
  std::filesystem::path blocksPath(const ImageMeta& image) const { return imageDir(image.client, image.id) / "blocks.bin"; }

  // Hands out the next image id; safe against concurrent captures.
  std::optional<int> allocateId(std::string& error) const;
  // Writes meta into `dir` (a staging directory) and moves it into place.
  bool commitImage(const std::filesystem::path& staging, const ImageMeta& image, std::string& error) const;

  std::vector<StoreUser> users() const;
  bool addUser(const StoreUser& user, std::string& error) const;

private:
  std::filesystem::path root_;
};

// Names travel unescaped inside protocol lines and become directory names.
bool isValidClientName(const std::string& name);
bool isValidUserName(const std::string& name);
bool isValidLetter(const std::string& letter);

std::string formatBackupDate(int64_t time);

// False when the file cannot be opened or read, or is larger than `limit`.
bool readWholeFile(const std::filesystem::path& path, std::string& content, size_t limit);
