#pragma once
// Reading a dynamic VHD's blocks directly. libvhdi reads a dynamic image one
// 512-byte sector per system call (about 70 MB/s here, against 1.1 GB/s for a
// raw image), so once libvhdi has accepted an image, its data blocks are read
// here in whole: the block allocation table from the dynamic header, then each
// block's sector bitmap and data in one read. Layout (all numbers big-endian):
//   footer (512 bytes, copy at offset 0): "conectix", data offset at 16,
//     current size at 48, disk type at 60, checksum at 64;
//   dynamic header at the data offset: "cxsparse", table offset at 16,
//     table entries at 28, block size at 32, checksum at 36;
//   table: one 32-bit sector number per block, 0xFFFFFFFF when unallocated;
//   block: sector bitmap (one bit per sector, padded to whole sectors), then
//     the data.
// Unallocated blocks read as zeros. The data of an allocated block is read as
// stored whatever its bitmap says, as libvhdi (and qemu) read dynamic images
// that have no parent.
#include <memory>
#include <string>

#include "image_source.h"

// Null, with the reason in `why`, when the structures are not as expected;
// the caller then reads through libvhdi. `media_size` is libvhdi's, which the
// footer must agree with.
std::unique_ptr<ImageSource> openDynamicVhdBlocks(const std::string& path, uint64_t media_size, std::string& why);
