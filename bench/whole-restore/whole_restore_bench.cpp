// A whole server restore of one partition holding at least 1 GiB of data, as
// the user interface drives it, against dd copying the same partition with
// 1 MiB writes and a final fsync, in the same run on the same target.
//
//   bench_whole_restore [--data-mib N]     (as root; default 1088)
//
// The restore is timed from sending "-r" to the "SUCCESS" of the drive,
// minus the agent's fixed pause for one partition (10 s before the status
// becomes "SUCCESS"; the new table is read by the kernel without one). Every
// download ends with a read-back of what it wrote; the agent logs how long
// that took, and the restore without it is the net time minus those seconds.
// The agent's peak resident memory (VmHWM) is read once the drive is done.
// It builds its own rig disks, holds the ports lock while the agent and the
// service run, and removes everything it made.
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>

#include "common/agent_process.h"
#include "common/backup_service_process.h"
#include "common/temp_dir.h"
#include "common/ws_client.h"
#include "rig/rig_fixture.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr double kFixedPauseSeconds = 10.0;
constexpr int64_t kMiB = 1024 * 1024;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void require(bool condition, const std::string& what) {
  if (!condition) {
    throw std::runtime_error(what);
  }
}

RigRun must(const std::vector<std::string>& argv) {
  const RigRun run = runProgram(argv);
  require(run.status == 0, argv[0] + " failed: " + run.output);
  return run;
}

class PortsLock {
public:
  PortsLock() : fd_(open("/tmp/restore-agent-ports.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
    require(fd_ >= 0 && flock(fd_, LOCK_EX) == 0, "cannot take /tmp/restore-agent-ports.lock");
  }
  ~PortsLock() { close(fd_); }
  PortsLock(const PortsLock&) = delete;
  PortsLock& operator=(const PortsLock&) = delete;

private:
  int fd_;
};

Json::Value parse(const std::optional<std::string>& text, const std::string& waitingFor) {
  require(text.has_value(), "no message while waiting for " + waitingFor);
  Json::Value value;
  Json::Reader reader;
  require(reader.parse(*text, value), "not JSON: " + *text);
  return value;
}

struct Session {
  WsClient client;

  Json::Value next(const std::string& waitingFor, std::chrono::milliseconds timeout = 120s) {
    return parse(client.receiveText(timeout), waitingFor);
  }
  void send(const Json::Value& message) { require(client.sendText(message.toStyledString()), "send failed"); }
};

// Seconds from sending "-r" to the drive's "SUCCESS".
double timedRestore(Session& session, const std::string& target) {
  Json::Value init;
  init["op"] = "init";
  init["mode"] = "BMR_SERVER";
  session.send(init);
  require(session.next("login")["msg"].asString() == "login_success", "login failed");
  session.next("client list");
  Json::Value list;
  list["op"] = "-e";
  list["args"].append("bench");
  session.send(list);
  const std::string key = session.next("image list")["Result"][0]["path"].asString();

  Json::Value select;
  select["op"] = "-i";
  select["args"].append(key);
  session.send(select);
  require(session.next("disk report")["error"].asString() == "0", "the disk report refused the target");

  Json::Value restore;
  restore["op"] = "-r";
  Json::Value point;
  point["out"] = target;
  point["in"].append(key);
  restore["restorepoints"].append(point);
  const auto start = Clock::now();
  session.send(restore);
  for (;;) {
    const Json::Value message = session.next("restore progress", 600s);
    const std::string status = message["progress"]["C"].asString();
    require(status != "ERROR", "the restore failed");
    if (status == "SUCCESS") {
      return secondsSince(start);
    }
  }
}

// The agent's peak resident memory in kB (VmHWM of /proc/<pid>/status), or
// -1 when it cannot be read.
long peakResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::strtol(line.c_str() + 6, nullptr, 10);
    }
  }
  return -1;
}

// The read-backs the agent logged: bytes, seconds and how many downloads.
struct ReadBacks {
  double bytes = 0;
  double seconds = 0;
  int downloads = 0;
};

ReadBacks readBacksIn(const std::string& log) {
  static const std::regex line("Read back and compared ([0-9]+) bytes in ([0-9.]+) s");
  ReadBacks sum;
  for (auto match = std::sregex_iterator(log.begin(), log.end(), line); match != std::sregex_iterator(); ++match) {
    sum.bytes += std::stod((*match)[1].str());
    sum.seconds += std::stod((*match)[2].str());
    ++sum.downloads;
  }
  return sum;
}

double timedDd(const std::string& from, const std::string& to) {
  const auto start = Clock::now();
  must({"dd", "if=" + from, "of=" + to, "bs=1M", "conv=fsync", "status=none"});
  return secondsSince(start);
}

int benchmark(int64_t dataMiB) {
  std::string why;
  require(Rig::available(&why), "no rig here: " + why);
  const std::string partitionMiB = std::to_string(dataMiB + dataMiB / 16 + 64);
  const std::string diskMiB = std::to_string(dataMiB + dataMiB / 16 + 80);

  Rig rig({{"source", "usb", diskMiB + "M"}, {"target", "internal", diskMiB + "M"}});
  rig.partition("source", "label: dos\nsize=" + partitionMiB + "M, type=83\n");
  rig.mkfs("source", 1, "ext4");
  TempDir mountPoint;
  rig.mount("source", 1, mountPoint.path());
  const RigRun filled = runProgram({"dd", "if=/dev/urandom", "of=" + (mountPoint.path() / "data.bin").string(),
                                    "bs=1M", "count=" + std::to_string(dataMiB), "conv=fsync", "status=none"});
  rig.umount(mountPoint.path());
  require(filled.status == 0, "cannot fill the source: " + filled.output);

  TempDir work;
  TempDir store;
  fs::create_symlink(fs::path(RESTORE_AGENT_BINARY_DIR) / "companions/restore-tool/keelbackrestoreclient",
                     work.path() / "keelbackrestoreclient");
  fs::copy_file(Rig::binDir() / "get_ip.sh", work.path() / "get_ip.sh");
  writeServicePassword(work.path(), "bench");
  CaptureRequest capture;
  capture.store = store.path();
  capture.client = "bench";
  capture.disk = rig.device("source");
  capture.letter = "C";
  captureWithBackupService(capture);

  const std::string source = rig.partition("source", 1);
  const std::string target = rig.device("target");
  // A rig disk is a sparse file: its first write allocates space, later ones
  // do not. The restore writes first and dd second, so the target is written
  // once beforehand, as a real disk would need no allocation at all.
  must({"dd", "if=/dev/zero", "of=" + target, "bs=1M", "count=" + diskMiB, "conv=fsync", "status=none"});
  // Filling and capturing leave gigabytes of dirty pages; written back during
  // a measurement they would be charged to it.
  must({"sync"});
  double restoreSeconds = 0;
  long peakKb = -1;
  ReadBacks readBacks;
  {
    PortsLock lock;
    BackupServiceOptions serviceOptions;
    serviceOptions.store = store.path();
    serviceOptions.workingDirectory = work.path();
    BackupServiceProcess service(serviceOptions);
    AgentOptions agentOptions;
    agentOptions.workingDirectory = work.path();
    agentOptions.pathPrefix = Rig::binDir().string();
    agentOptions.environment["RIG_STATE"] = rig.state().string();
    AgentProcess agent(agentOptions);
    Session session;
    require(session.client.connect("127.0.0.1", AgentProcess::port, "/backend", 5s), "cannot reach the agent");
    restoreSeconds = timedRestore(session, target);
    peakKb = peakResidentKb(agent.pid());
    readBacks = readBacksIn(agent.log());
  }
  require(readBacks.downloads > 0, "the agent logged no read-back of what it wrote");
  const std::string restored = rig.partition("target", 1);
  require(runProgram({"cmp", source, restored}).status == 0, "the restored partition differs from the source");

  must({"sync"});
  const double ddSeconds = timedDd(source, restored);
  const double partitionBytes = static_cast<double>(std::stoll(partitionMiB) * kMiB);
  const double restoreNet = restoreSeconds - kFixedPauseSeconds;
  std::printf("data written into the partition: %lld MiB of random bytes; partition %s MiB\n",
              static_cast<long long>(dataMiB), partitionMiB.c_str());
  std::printf("restore  \"-r\" to SUCCESS: %.2f s, minus %.0f s fixed pauses: %.2f s (%.0f MB/s of partition)\n",
              restoreSeconds, kFixedPauseSeconds, restoreNet, partitionBytes / restoreNet / 1e6);
  std::printf("dd bs=1M conv=fsync of the same partition: %.2f s (%.0f MB/s)\n", ddSeconds,
              partitionBytes / ddSeconds / 1e6);
  std::printf("ratio restore / dd: %.2f\n", restoreNet / ddSeconds);
  const double unverified = restoreNet - readBacks.seconds;
  std::printf("verification read-back in the restore: %.2f s for %.0f MB (%d download%s)\n", readBacks.seconds,
              readBacks.bytes / 1e6, readBacks.downloads, readBacks.downloads == 1 ? "" : "s");
  std::printf("without verification: restore %.2f s (%.0f MB/s of partition)\n", unverified,
              partitionBytes / unverified / 1e6);
  std::printf("verification adds %.0f%% to the write time (read-back / restore without it; target <= 35%%)\n",
              100.0 * readBacks.seconds / unverified);
  std::printf("ratio restore without verification / dd: %.2f\n", unverified / ddSeconds);
  std::printf("agent peak resident memory (VmHWM) during the restore: %ld kB (%.1f MiB)\n", peakKb,
              static_cast<double>(peakKb) / 1024.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t dataMiB = 1088;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--data-mib" && i + 1 < argc) {
      dataMiB = std::stoll(argv[++i]);
    } else {
      std::cerr << "usage: bench_whole_restore [--data-mib N]\n";
      return 2;
    }
  }
  try {
    return benchmark(dataMiB);
  } catch (const std::exception& e) {
    std::cerr << "bench_whole_restore: " << e.what() << "\n";
    return 1;
  }
}
