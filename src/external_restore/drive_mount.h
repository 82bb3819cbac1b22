#pragma once
// Mounting the partitions of the USB drives and finding the backup folder on
// each of them.
#include <ctime>
#include <string>

#include <json/value.h>

// The USB disk inventory in which every partition's "MOUNTPOINT" holds the
// path of the backup folder found on it, or the empty string. Partitions that
// hold a backup folder, and partitions that were mounted before, stay mounted.
Json::Value AutoMountExternalDrives();

// The same for a given inventory (an array of disk objects with
// "partitions"); AutoMountExternalDrives passes the USB disks.
Json::Value MountBackupDrives(Json::Value inventory);

// "/mnt/<name>_<HH>_<MM>_<SS>/" for the partition `name` at local time `now`.
std::string mountFolderFor(const std::string& name, const std::tm& now);

// "ntfs-3g" for NTFS, "btrfs" for btrfs; empty for every other type, which
// mount then detects itself (ext4, exFAT, FAT backup drives).
std::string mountTypeFor(const std::string& fsType);

// sudo mount -o ro,nosuid,nodev,noexec <device> -t <type>  <folder>> out 2>&1,
// device and folder quoted, without "-t <type>" for an empty type. Backup
// drives are only read: a restore must never change its own backups, and a
// hibernated or uncleanly detached NTFS drive mounts read-only only.
std::string mountCommand(const std::string& device, const std::string& type, const std::string& folder);

// sudo umount <device>, device quoted.
std::string unmountCommand(const std::string& device);
