// The restore tool writing a partition image (raw, dynamic VHD, fixed VHD)
// onto a rig partition, against dd copying the same raw image with 1 MiB
// writes and a final fsync onto the same partition.
//
//   bench_restore_image [--mib N]     (as root; default 1024)
//
// The partition is filled with random data, so every block is read and
// written. Each figure is the wall time of the whole command, fsync included.
// It builds its own rig disks and removes everything it made.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "rig/rig_fixture.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

RigRun must(const std::vector<std::string>& argv) {
  const RigRun run = runProgram(argv);
  if (run.status != 0) {
    throw std::runtime_error(argv[0] + " failed: " + run.output);
  }
  return run;
}

double timed(const std::vector<std::string>& argv) {
  runProgram({"sync"});
  runProgram({"sh", "-c", "echo 3 > /proc/sys/vm/drop_caches"});
  const auto start = Clock::now();
  must(argv);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(const std::string& what, int64_t mib, double seconds) {
  std::printf("%-34s %7.2f s  %7.1f MB/s\n", what.c_str(), seconds, static_cast<double>(mib) * 1.048576 / seconds);
}

}  // namespace

int main(int argc, char** argv) {
  int64_t mib = 1024;
  if (argc == 3 && std::string(argv[1]) == "--mib") {
    mib = std::stoll(argv[2]);
  } else if (argc != 1) {
    std::cerr << "usage: bench_restore_image [--mib N]\n";
    return 2;
  }
  try {
    std::string why;
    if (!Rig::available(&why)) {
      std::cerr << "rig unavailable: " << why << "\n";
      return 1;
    }
    const std::string disk_size = std::to_string(mib + 8) + "M";
    Rig rig({{"source", "internal", disk_size}, {"target", "internal", disk_size}});
    const std::string table = "label: gpt\nsize=" + std::to_string(mib) + "M\n";
    rig.partition("source", table);
    rig.partition("target", table);
    const std::string source = rig.partition("source", 1);
    const std::string target = rig.partition("target", 1);
    must({"dd", "if=/dev/urandom", "of=" + source, "bs=1M", "count=" + std::to_string(mib), "conv=fsync", "status=none"});

    TempDir dir;
    const std::string raw = (dir.path() / "p.raw").string();
    const std::string dynamic_vhd = (dir.path() / "p.vhd").string();
    const std::string fixed_vhd = (dir.path() / "fixed.vhd").string();
    for (const std::string& image : {raw, dynamic_vhd}) {
      must({RESTORE_TOOL_BINARY, "--create-image", "--disk", rig.device("source"), "--partition", "1",
            "--device-number", "0", "-o", image});
    }
    must({"qemu-img", "convert", "-f", "raw", "-O", "vpc", "-o", "subformat=fixed,force_size=on", raw, fixed_vhd});

    std::printf("image of %lld MiB of random data onto a loop-device partition\n", static_cast<long long>(mib));
    report("dd bs=1M conv=fsync (raw)", mib, timed({"dd", "if=" + raw, "of=" + target, "bs=1M", "conv=fsync", "status=none"}));
    report("--restore-image raw", mib, timed({RESTORE_TOOL_BINARY, "--restore-image", raw, "-o", target}));
    report("--restore-image dynamic vhd", mib, timed({RESTORE_TOOL_BINARY, "--restore-image", dynamic_vhd, "-o", target}));
    report("--restore-image fixed vhd", mib, timed({RESTORE_TOOL_BINARY, "--restore-image", fixed_vhd, "-o", target}));
    must({"cmp", "-n", std::to_string(mib * 1024 * 1024), source, target});
    std::printf("target matches the source\n");
    return 0;
  } catch (const std::exception& failure) {
    std::cerr << "bench_restore_image: " << failure.what() << "\n";
    return 1;
  }
}
