#pragma once
// Backup clients and their disk images as the backup service lists them.
#include <cstdint>
#include <string>
#include <vector>

struct SImage {
  std::string backup_date;
  int64_t backup_time = 0;
  int image_id = 0;
  std::vector<SImage> associated;
  std::string letter;  // "SYSVOL", "ESPVOL", a drive letter, or empty

  // Newest first: sorting a list puts the latest backup at the front.
  bool operator<(const SImage& other) const { return backup_time > other.backup_time; }
};

// err: 0 listed, 1 empty reply, 2 reply starting with "0", 10 no connection.
std::vector<std::string> getBackupclients(int* err);
// err: 0 listed, 1 empty reply or reply starting with "0", 10 no connection.
std::vector<SImage> getBackupimages(std::string clientname, int* err);

// Pure parsers of a non-empty, positive reply (status character included).
std::vector<std::string> parseBackupclients(const std::string& reply);
std::vector<SImage> parseBackupimages(const std::string& reply);
