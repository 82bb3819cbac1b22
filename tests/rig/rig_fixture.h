#pragma once
// Loop-device disks owned by one test, built and torn down by the shell rig
// (tests/rig/rig). Every method that writes is refused by the rig unless the
// device is one of this rig's loop devices.
//
//   TEST(Something, OnDisks) {
//     SKIP_WITHOUT_RIG();
//     Rig rig({{"target", "internal", "256M"}, {"stick", "usb", "128M", "Kingston DT"}});
//     rig.partition("target", "label: gpt\nsize=64M\n");
//     rig.mkfs("target", 1, "ext4");
//     ... rig.device("target") ... rig.partition("target", 1) ...
//   }
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

struct RigDiskSpec {
  std::string name;
  std::string role;  // "internal" (bus ata) or "usb"
  std::string size;  // as for truncate: 256M, 1G; "64M@4096" for 4096-byte blocks
  std::string model = "";  // empty: the rig makes one up
};

class Rig {
public:
  // Attaches one loop device per disk; throws std::runtime_error (after
  // cleaning up) when the rig cannot be built.
  explicit Rig(std::vector<RigDiskSpec> disks);
  // Unmounts, detaches and deletes everything the rig made, whatever state
  // the test left it in.
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  std::string device(const std::string& name) const;           // /dev/loopN
  std::string partition(const std::string& name, int n) const;  // /dev/loopNpn
  const std::filesystem::path& state() const { return state_; }
  static std::filesystem::path binDir();
  static std::filesystem::path script();

  // These throw std::runtime_error with the rig's message when they fail.
  void partition(const std::string& name, const std::string& sfdiskScript);
  void mkfs(const std::string& name, int partno, const std::string& fstype, const std::string& label = "");
  void fill(const std::string& name, int partno);
  void mount(const std::string& name, int partno, const std::filesystem::path& dir);
  void umount(const std::filesystem::path& dir);

  // The stand-ins directory followed by the current PATH.
  static std::string pathWithStandIns();
  // The reboot and shutdown calls recorded by the stand-ins, one per call.
  std::vector<std::string> calls() const;

  // True when rigs can be built here (root, loop devices with partition
  // scanning); otherwise false with the reason in *why. Checked once.
  static bool available(std::string* why);

private:
  std::filesystem::path state_;
  std::map<std::string, std::string> devices_;
};

// Outcome of running the rig script or another program without a shell.
struct RigRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string output;  // standard output and standard error together
};
RigRun runRig(const std::vector<std::string>& arguments, const std::string& input = "");
RigRun runProgram(const std::vector<std::string>& argv, const std::string& input = "");

// Sets an environment variable for the lifetime of the object, then restores
// the previous value (or its absence).
class ScopedEnv {
public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

#define SKIP_WITHOUT_RIG()                         \
  do {                                             \
    std::string rig_skip_reason_;                  \
    if (!Rig::available(&rig_skip_reason_)) {      \
      GTEST_SKIP() << rig_skip_reason_;            \
    }                                              \
  } while (0)
