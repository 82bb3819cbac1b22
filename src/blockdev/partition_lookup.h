#pragma once
// Finding a partition of a disk by its partition number, as the kernel
// numbers it, rather than by its place in a listing: a table with a gap in
// its numbering (partitions 1 and 3) or devices stacked on a partition do not
// shift the answer.
#include <sys/types.h>

#include <string>

#include "blockdev/partition_table.h"

namespace blockdev {

// The device node of partition `number` of the disk `disk` as the kernel has
// it now; empty when there is none, or no node of it under /dev.
std::string partitionNode(const std::string& disk, int number);

// Waits, for a bounded time, until partition `number` of the disk with the
// device number `disk` (named `diskName` in texts) has its node, and checks
// that it lies where `expected` says (the table just written). True with
// `path` set; false with `error` set when it never appeared or lies elsewhere.
bool findPartition(dev_t disk, const std::string& diskName, int number, const PartitionExtent& expected,
                   std::string& path, std::string& error);

// The same for the disk `disk`, by path, for a disk that another program
// holds while its table is written.
bool findPartition(const std::string& disk, int number, const PartitionExtent& expected, std::string& path,
                   std::string& error);

}  // namespace blockdev
