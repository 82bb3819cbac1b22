// Download throughput of the agent's image download from the real backup
// service, against dd writing the same bytes onto the same target with the
// same flush. dd reads them from a file held in the page cache, as the
// service does. Also the cost of a large, mostly empty image, which must
// follow the data and not the image size.
//
//   bench_download [--data-mib N] [--rounds N] [--skip-large]
//
// Builds its own disks (rig loop devices as root; plain files otherwise),
// holds the ports lock while the service runs, and removes everything it made.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "blockdev/write_ledger.h"
#include "protocol/image_download.h"
#include "support/command.h"
#include "support/shell_quote.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kGiB = 1024 * kMiB;
constexpr unsigned short kServicePort = 35623;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor seconds (user and system) of `who`: this process, or the children
// waited for so far.
double cpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  auto seconds = [](const timeval& value) { return static_cast<double>(value.tv_sec) + value.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The processor time the last timed writer spent itself: with other programs
// busy on this machine, wall-clock figures vary more than this does.
double lastCpuSeconds = 0;

std::string run(const std::string& command) {
  std::string output;
  runCommand(command + " 2>&1", output);
  return output;
}

bool succeeds(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

struct DiskSpec {
  std::string name;
  int64_t size;            // bytes
  int64_t partition_size;  // bytes of its single partition
};

// Disks for one scenario: rig loop devices, or plain files when no rig can
// be built here. Either way the destructor takes everything down.
class Disks {
public:
  Disks(const fs::path& scratch, bool use_rig, const std::vector<DiskSpec>& specs)
      : scratch_(scratch / "disks"), use_rig_(use_rig) {
    fs::create_directories(scratch_);
    if (use_rig_) {
      std::string command = rig() + " up " + shellQuote(state().string());
      for (const DiskSpec& wanted : specs) {
        command += " " + shellQuote(wanted.name + ":internal:" + std::to_string(wanted.size));
      }
      const std::string out = run(command);
      for (const DiskSpec& wanted : specs) {
        const auto at = out.find(wanted.name + "=");
        if (at == std::string::npos) {
          throw std::runtime_error("rig up failed: " + out);
        }
        const auto value = at + wanted.name.size() + 1;
        names_[wanted.name] = out.substr(value, out.find('\n', at) - value);
      }
    }
    for (const DiskSpec& wanted : specs) {
      partitionDisk(wanted);
    }
  }
  ~Disks() {
    if (use_rig_ && fs::exists(state())) {
      succeeds(rig() + " down " + shellQuote(state().string()));
    }
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }
  Disks(const Disks&) = delete;
  Disks& operator=(const Disks&) = delete;

  std::string disk(const std::string& name) const { return names_.at(name); }
  std::string partition(const std::string& name) const {
    return use_rig_ ? names_.at(name) + "p1" : partitions_.at(name);
  }
  bool usesRig() const { return use_rig_; }

private:
  static std::string rig() { return shellQuote(RIG_SCRIPT_PATH); }
  fs::path state() const { return scratch_ / "rig"; }

  void partitionDisk(const DiskSpec& wanted) {
    const fs::path script = scratch_ / (wanted.name + ".sfdisk");
    std::ofstream(script) << "label: gpt\nsize=" << wanted.partition_size / 512 << "\n";
    if (use_rig_) {
      const std::string out = run(rig() + " partition " + shellQuote(state().string()) + " " +
                                  shellQuote(wanted.name) + " < " + shellQuote(script.string()));
      if (!fs::exists(partition(wanted.name))) {
        throw std::runtime_error("rig partition failed: " + out);
      }
      return;
    }
    const fs::path file = scratch_ / (wanted.name + ".img");
    std::ofstream(file).close();
    fs::resize_file(file, static_cast<uintmax_t>(wanted.size));
    run("sfdisk -q --no-reread " + shellQuote(file.string()) + " < " + shellQuote(script.string()));
    names_[wanted.name] = file.string();
    // A plain-file "partition" is a file of its own of the partition's size.
    const fs::path part = scratch_ / (wanted.name + ".part");
    std::ofstream(part).close();
    fs::resize_file(part, static_cast<uintmax_t>(wanted.partition_size));
    partitions_[wanted.name] = part.string();
  }

  fs::path scratch_;
  bool use_rig_;
  std::map<std::string, std::string> names_;
  std::map<std::string, std::string> partitions_;
};

// Writes `count` non-zero 1 MiB chunks at `offset`, `stride` apart, and
// flushes them. Every 4 KiB block differs, so nothing compresses or repeats.
// With `copy` the same chunks also go, one after the other, into that new file.
void writeData(const std::string& target, int64_t offset, int64_t count, int64_t stride,
               const fs::path& copy = {}) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    throw std::runtime_error("cannot open " + target);
  }
  const int copy_fd = copy.empty() ? -1 : ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (!copy.empty() && copy_fd < 0) {
    ::close(fd);
    throw std::runtime_error("cannot create " + copy.string());
  }
  std::vector<uint64_t> chunk(static_cast<size_t>(kMiB / 8));
  uint64_t state = 0x243F6A8885A308D3ull;
  for (int64_t i = 0; i < count; ++i) {
    for (uint64_t& word : chunk) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state | 1;
    }
    if (::pwrite(fd, chunk.data(), kMiB, offset + i * stride) != kMiB ||
        (copy_fd >= 0 && ::pwrite(copy_fd, chunk.data(), kMiB, i * kMiB) != kMiB)) {
      ::close(fd);
      if (copy_fd >= 0) {
        ::close(copy_fd);
      }
      throw std::runtime_error("cannot write " + target);
    }
  }
  ::fsync(fd);
  ::close(fd);
  if (copy_fd >= 0) {
    ::fsync(copy_fd);
    ::close(copy_fd);
  }
}

std::string backupService() { return BACKUP_SERVICE_PATH; }

int capture(const fs::path& store, const Disks& disks, const std::string& name, int64_t time) {
  const std::string command = shellQuote(backupService()) + " capture --store " + shellQuote(store.string()) +
                              " --client bench --partition 1 --letter C --time " + std::to_string(time) +
                              " --disk " + shellQuote(disks.disk(name)) +
                              (disks.usesRig() ? "" : " --allow-plain-file");
  const std::string out = run(command);
  try {
    return std::stoi(out);
  } catch (...) {
    throw std::runtime_error("capture failed: " + out);
  }
}

bool serviceAccepts() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kServicePort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

class Service {
public:
  Service(const fs::path& store, const fs::path& work) {
    if (serviceAccepts()) {
      throw std::runtime_error("port 35623 is taken by another program");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      const int log = ::open((work / "backup-service.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (log < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0 || ::chdir(work.c_str()) != 0) {
        _exit(127);
      }
      ::execl(BACKUP_SERVICE_PATH, BACKUP_SERVICE_PATH, "serve", "--store", store.c_str(), nullptr);
      _exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (!serviceAccepts()) {
      if (Clock::now() > deadline) {
        throw std::runtime_error("the backup service did not start");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Service() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

private:
  pid_t pid_ = -1;
};

// Writeback left over from earlier steps would otherwise land in whichever
// measurement comes next.
void settle() { ::sync(); }

// The regular files at or below `path`.
std::vector<fs::path> filesAt(const fs::path& path) {
  if (fs::is_regular_file(path)) {
    return {path};
  }
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(path)) {
    if (entry.is_regular_file()) {
      files.push_back(entry.path());
    }
  }
  return files;
}

// Brings every file at or below `path` into the page cache.
void warm(const fs::path& path) {
  std::vector<char> buffer(static_cast<size_t>(kMiB));
  for (const fs::path& file : filesAt(path)) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && ::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

// True when every page of every file at or below `path` is in the page cache.
bool resident(const fs::path& path) {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  for (const fs::path& file : filesAt(path)) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      if (fd >= 0) {
        ::close(fd);
      }
      return false;
    }
    const auto size = static_cast<size_t>(info.st_size);
    bool all = true;
    if (size > 0) {
      void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
      std::vector<unsigned char> pages((size + page - 1) / page);
      all = map != MAP_FAILED && ::mincore(map, size, pages.data()) == 0 &&
            std::all_of(pages.begin(), pages.end(), [](unsigned char flags) { return (flags & 1) != 0; });
      if (map != MAP_FAILED) {
        ::munmap(map, size);
      }
    }
    ::close(fd);
    if (!all) {
      return false;
    }
  }
  return true;
}

// Times `write` with its source (the service's store, or dd's input) in the
// page cache, as it would be for a restore from a warm server. Another
// program on this machine dropping the caches meanwhile makes the writer read
// from disk; such a run is repeated.
double withWarmSource(const fs::path& source, const std::function<double()>& write) {
  for (int attempt = 1;; ++attempt) {
    warm(source);
    const double seconds = write();
    if (resident(source)) {
      return seconds;
    }
    if (attempt == 3) {
      throw std::runtime_error("the page cache keeps being dropped on this machine; no fair figures");
    }
    std::printf("(%s left the page cache during that run; repeating it)\n", source.filename().c_str());
  }
}

// Another program's rig sweep could take the loop device away; a writer that
// then created a plain file in its place would measure memory, not a disk.
void requireBlockDevice(const std::string& target, bool plain_file) {
  struct stat info {};
  if (!plain_file && (::stat(target.c_str(), &info) != 0 || !S_ISBLK(info.st_mode))) {
    throw std::runtime_error(target + " is no longer a block device");
  }
}

double timeDownload(int id, int64_t time, const std::string& target, bool plain_file) {
  requireBlockDevice(target, plain_file);
  settle();
  const double cpu = cpuSeconds(RUSAGE_SELF);
  const auto start = Clock::now();
  const int result = downloadImage(id, std::to_string(time), target, false, -1, 0, nullptr, nullptr);
  const double seconds = secondsSince(start);
  lastCpuSeconds = cpuSeconds(RUSAGE_SELF) - cpu;
  if (result != 0) {
    throw std::runtime_error("downloadImage failed with result " + std::to_string(result));
  }
  return seconds;
}

// The read-back that ends every download, timed on its own: the same bytes
// recorded in 4 MiB runs as the writer records them, then read back from the
// target past the page cache and compared.
double timeVerification(const fs::path& copy, const std::string& target, int64_t data) {
  blockdev::WriteLedger ledger;
  const int source = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> chunk(static_cast<size_t>(4 * kMiB));
  for (int64_t at = 0; at < data; at += static_cast<int64_t>(chunk.size())) {
    const auto length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), data - at));
    if (::pread(source, chunk.data(), length, at) != static_cast<ssize_t>(length)) {
      ::close(source);
      throw std::runtime_error("cannot read " + copy.string());
    }
    ledger.record(at, chunk.data(), length);
  }
  ::close(source);
  const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
  settle();
  const auto start = Clock::now();
  std::string error;
  const bool same = ledger.verify(fd, target, error);
  const double seconds = secondsSince(start);
  ::close(fd);
  if (!same) {
    throw std::runtime_error("the target does not hold the data: " + error);
  }
  return seconds;
}

// The service alone: the same request read and thrown away, to tell the
// service's share of a slow download from the writer's.
double timeStreamOnly(int id, int64_t time) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kServicePort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot connect to the backup service");
  }
  const std::string command = "DOWNLOAD IMAGE#pw=bench&img_id=" + std::to_string(id) + "&time=" + std::to_string(time) +
                              "&mbr=false";
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) {
    frame[i] = static_cast<char>((command.size() >> (8 * i)) & 0xFF);
  }
  frame += command;
  const auto start = Clock::now();
  if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
    ::close(fd);
    throw std::runtime_error("cannot send the download request");
  }
  std::vector<char> sink(static_cast<size_t>(kMiB));
  while (::recv(fd, sink.data(), sink.size(), 0) > 0) {
  }
  ::close(fd);
  return secondsSince(start);
}

// dd of `bytes` from `source` onto `target`; it never creates the target.
double timeDd(const std::string& source, const std::string& target, int64_t bytes, bool plain_file) {
  requireBlockDevice(target, plain_file);
  settle();
  const double cpu = cpuSeconds(RUSAGE_CHILDREN);
  const auto start = Clock::now();
  if (!succeeds("dd if=" + shellQuote(source) + " of=" + shellQuote(target) + " bs=1M count=" +
                std::to_string(bytes / kMiB) + " conv=fsync,nocreat" + (plain_file ? ",notrunc" : "") +
                " status=none")) {
    throw std::runtime_error("dd failed on " + target);
  }
  const double seconds = secondsSince(start);
  lastCpuSeconds = cpuSeconds(RUSAGE_CHILDREN) - cpu;
  return seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Scratch {
  fs::path path;
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "bench-download.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a scratch directory");
    }
    path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

// In plain-file mode the data goes into the partition's place inside the disk
// image (that is what gets captured); the target is a file of its own.
std::string dataTarget(const Disks& disks, const std::string& name) {
  return disks.usesRig() ? disks.partition(name) : disks.disk(name);
}
int64_t dataOffset(const Disks& disks) { return disks.usesRig() ? 0 : kMiB; }

void throughput(const fs::path& scratch, bool use_rig, int64_t data_mib, int rounds) {
  const int64_t data = data_mib * kMiB;
  const int64_t partition = data + 64 * kMiB;
  Disks disks(scratch, use_rig,
              {{"source", partition + 8 * kMiB, partition}, {"target", partition + 8 * kMiB, partition}});
  const fs::path data_copy = scratch / "data.bin";
  writeData(dataTarget(disks, "source"), dataOffset(disks), data_mib, kMiB, data_copy);

  const fs::path store = scratch / "store";
  auto start = Clock::now();
  const int id = capture(store, disks, "source", 1700000000);
  std::printf("capture of %lld MiB of data: %.2f s\n", static_cast<long long>(data_mib), secondsSince(start));

  Service service(store, scratch);
  const std::string target = disks.partition("target");
  // Untimed first runs: the first write into a sparse backing file allocates
  // it, and the first download brings the store into the page cache.
  timeDd(data_copy.string(), target, data, !use_rig);
  timeDownload(id, 1700000000, target, !use_rig);
  std::vector<double> downloads, dds, zero_dds, download_cpus, dd_cpus;
  const std::vector<std::function<void()>> writers = {
      [&] {
        downloads.push_back(withWarmSource(store, [&] { return timeDownload(id, 1700000000, target, !use_rig); }));
        download_cpus.push_back(lastCpuSeconds);
      },
      [&] {
        dds.push_back(withWarmSource(data_copy, [&] { return timeDd(data_copy.string(), target, data, !use_rig); }));
        dd_cpus.push_back(lastCpuSeconds);
      },
      [&] { zero_dds.push_back(timeDd("/dev/zero", target, data, !use_rig)); },
  };
  for (int round = 0; round < rounds; ++round) {
    // Each writer takes each place in the order equally often: how fast a
    // writer gets its page cache depends on what ran just before it.
    for (size_t step = 0; step < writers.size(); ++step) {
      writers[(step + static_cast<size_t>(round)) % writers.size()]();
    }
    std::printf("round %d: download %.3f s (cpu %.3f s), dd %.3f s (cpu %.3f s), dd of zeros %.3f s\n", round + 1,
                downloads.back(), download_cpus.back(), dds.back(), dd_cpus.back(), zero_dds.back());
  }
  const double mb = static_cast<double>(data) / 1e6;
  const double download_rate = mb / median(downloads);
  const double dd_rate = mb / median(dds);
  std::printf("download: %.0f MB/s   dd bs=1M conv=fsync of the same data: %.0f MB/s   ratio %.2f (target >= 0.95)\n",
              download_rate, dd_rate, download_rate / dd_rate);
  // Other programs on a shared machine slow single rounds down, by seconds at
  // times; the best round of each writer is the least disturbed.
  const double best_download = *std::min_element(downloads.begin(), downloads.end());
  const double best_dd = *std::min_element(dds.begin(), dds.end());
  std::printf("best rounds: download %.0f MB/s, dd %.0f MB/s, ratio %.2f\n", mb / best_download, mb / best_dd,
              best_dd / best_download);
  std::printf("for reference, dd of zeros (no reading of its input): %.0f MB/s\n", mb / median(zero_dds));
  std::printf("processor time of the writer itself (median): download %.3f s, dd %.3f s\n", median(download_cpus),
              median(dd_cpus));
  std::printf("service stream alone (read and discarded): %.0f MB/s\n", mb / timeStreamOnly(id, 1700000000));
  // Every download above ends with this read-back; without it the download
  // would take the rest of its time. Which writer ran last depends on the
  // round count (the zeros with one round), so one more download lays the
  // data that is read back.
  timeDownload(id, 1700000000, target, !use_rig);
  std::vector<double> verifications;
  for (int round = 0; round < rounds; ++round) {
    verifications.push_back(timeVerification(data_copy, target, data));
  }
  const double verify = median(verifications);
  const double writing = median(downloads) - verify;
  std::printf("verification read-back: %.3f s (%.0f MB/s); download without it: %.3f s (%.0f MB/s); "
              "verification adds %.0f%% to the write time (target <= 35%%)\n",
              verify, mb / verify, writing, mb / writing, 100.0 * verify / writing);
  std::printf("ratio download / dd with verification: %.2f\n", download_rate / dd_rate);
  std::printf("ratio download / dd without verification: %.2f\n", mb / writing / dd_rate);
}

void largeImage(const fs::path& scratch, bool use_rig) {
  const int64_t partition = 64 * kGiB;
  Disks disks(scratch, use_rig,
              {{"bigsource", partition + 8 * kMiB, partition}, {"bigtarget", partition + 8 * kMiB, partition}});
  // 256 MiB of data in 1 MiB pieces spread over the whole partition.
  writeData(dataTarget(disks, "bigsource"), dataOffset(disks), 256, partition / 256);

  const fs::path store = scratch / "bigstore";
  auto start = Clock::now();
  const int id = capture(store, disks, "bigsource", 1700000100);
  std::printf("capture of a 64 GiB partition holding 256 MiB: %.2f s (reads the whole partition)\n",
              secondsSince(start));
  Service service(store, scratch);
  const double dd_seconds = timeDd("/dev/zero", disks.partition("bigtarget"), 256 * kMiB, !use_rig);
  const double seconds = timeDownload(id, 1700000100, disks.partition("bigtarget"), !use_rig);
  std::printf("download of a 64 GiB image holding 256 MiB: %.2f s (%.0f MB/s of data; dd of 256 MiB: %.2f s)\n",
              seconds, 256.0 * kMiB / 1e6 / seconds, dd_seconds);
}

}  // namespace

int main(int argc, char** argv) {
  int64_t data_mib = 1024;
  int rounds = 6;  // a multiple of the three writers, for the rotation
  bool large = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--data-mib" && i + 1 < argc) {
      data_mib = std::max<int64_t>(1, std::atoll(argv[++i]));
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--skip-large") {
      large = false;
    } else {
      std::fprintf(stderr, "usage: bench_download [--data-mib N] [--rounds N] [--skip-large]\n");
      return 2;
    }
  }
  // The service takes the backup service's fixed port, like the tests do.
  const int lock = ::open("/tmp/restore-agent-ports.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
    std::fprintf(stderr, "cannot take the ports lock\n");
    return 1;
  }
  // The rig records its owner's pid and another program's sweep takes down a
  // rig whose owner is gone; through the shell, that would be the shell.
  ::setenv("RIG_OWNER_PID", std::to_string(::getpid()).c_str(), 1);
  const bool use_rig = succeeds(shellQuote(RIG_SCRIPT_PATH) + " check");
  std::printf("disks: %s\n", use_rig ? "rig loop devices" : "plain files (no rig here)");
  try {
    Scratch scratch;
    fs::create_directories(scratch.path / "keelback");
    std::ofstream(scratch.path / "keelback" / "pw.txt") << "bench";
    fs::permissions(scratch.path / "keelback" / "pw.txt", fs::perms::owner_read | fs::perms::owner_write);
    // downloadImage reads keelback/pw.txt relative to the working directory.
    fs::current_path(scratch.path);
    throughput(scratch.path, use_rig, data_mib, rounds);
    if (large) {
      largeImage(scratch.path, use_rig);
    }
    fs::current_path("/");
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "bench_download: %s\n", failure.what());
    return 1;
  }
  return 0;
}
