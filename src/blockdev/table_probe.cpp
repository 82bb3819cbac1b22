#include "blockdev/table_probe.h"

#include <blkid/blkid.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "support/unique_fd.h"

namespace blockdev {

namespace {

struct ProbeDeleter {
  void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};

// libblkid counts partition starts and sizes in 512-byte sectors, whatever
// the disk's logical block size.
constexpr uint64_t kBlkidSector = 512;

}  // namespace

const ProbedPartition* ProbedTable::partition(int number) const {
  for (const ProbedPartition& candidate : partitions) {
    if (candidate.number == number) {
      return &candidate;
    }
  }
  return nullptr;
}

bool probePartitionTable(const std::string& device, ProbedTable& table, std::string& error) {
  table = ProbedTable();
  const UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = "cannot open " + device + ": " + std::strerror(errno);
    return false;
  }
  const std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(blkid_new_probe());
  if (!probe || blkid_probe_set_device(probe.get(), fd.get(), 0, 0) != 0) {
    error = "cannot probe " + device;
    return false;
  }
  blkid_probe_enable_superblocks(probe.get(), 0);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_partlist list = blkid_probe_get_partitions(probe.get());
  blkid_parttable root = list != nullptr ? blkid_partlist_get_table(list) : nullptr;
  if (root == nullptr || blkid_parttable_get_type(root) == nullptr) {
    error = device + " holds no partition table";
    return false;
  }
  table.type = blkid_parttable_get_type(root);
  table.blockSize = blkid_probe_get_sectorsize(probe.get());
  const int count = blkid_partlist_numof_partitions(list);
  for (int i = 0; i < count; ++i) {
    const blkid_partition entry = blkid_partlist_get_partition(list, i);
    if (entry == nullptr || blkid_partition_get_start(entry) < 0 || blkid_partition_get_size(entry) < 0) {
      continue;
    }
    table.partitions.push_back({blkid_partition_get_partno(entry),
                                {static_cast<uint64_t>(blkid_partition_get_start(entry)) * kBlkidSector,
                                 static_cast<uint64_t>(blkid_partition_get_size(entry)) * kBlkidSector}});
  }
  return true;
}

}  // namespace blockdev
