#pragma once
// The bus of a disk as the kernel itself shows it in sysfs, for the disks to
// which udev gives no ID_BUS (NVMe and virtio disks on Debian 12, and every
// disk of a machine where no udev daemon runs).
#include <filesystem>
#include <string>

// The bus of the block device `kernelName` (e.g. nvme0n1) under the sysfs
// tree at `sysfsRoot` (normally /sys): "usb" when a usb device is among the
// parents of class/block/<name>/device, whatever carries the disk below it
// (a USB-bridged SATA disk too); otherwise "nvme", "virtio", "scsi" (SATA,
// SAS) or "mmc" for a disk on such a bus. Empty for what is no restore
// target: a device without a parent device (loop, zram, device-mapper, md,
// ram), an optical drive, a floppy or a device on another bus.
std::string kernelDiskBus(const std::filesystem::path& sysfsRoot, const std::string& kernelName);
