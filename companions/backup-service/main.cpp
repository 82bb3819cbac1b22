// backup-service: the local backup service that the restore agent talks to,
// with the commands that fill and show its store.
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "capture.h"
#include "command_line.h"
#include "credentials.h"
#include "password_input.h"
#include "service.h"
#include "store.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  backup-service init    --store DIR\n"
    "  backup-service serve   --store DIR [--port P] [--password-file F]\n"
    "                         [--stall-after N] [--close-after N] [--cut-once-after N] [--split-size]\n"
    "                         [--refuse-images] [--refuse-records] [--garbage-listings] [--corrupt-records]\n"
    "  backup-service capture --store DIR --client NAME --disk DEV --partition N --letter L\n"
    "                         [--time SECONDS] [--associated-to ID] [--device-number N] [--allow-plain-file]\n"
    "  backup-service list    --store DIR\n"
    "  backup-service adduser --store DIR --user U --password-file F [--rounds R]\n"
    "                         (F is - for standard input; --password P works too, but ps shows it)\n";

int fail(const std::string& message) {
  std::cerr << "backup-service: " << message << "\n";
  return 1;
}

int runInit(const CommandLine& line) {
  std::string error;
  if (!Store(*line.value("--store")).create(error)) {
    return fail(error);
  }
  return 0;
}

int runServe(const CommandLine& line) {
  ServeOptions options;
  options.store = Store(*line.value("--store"));
  if (!options.store.exists()) {
    return fail("no store at " + options.store.root().string() + " (create one with init, capture or adduser)");
  }
  // The agent sends the whole content of its password file; so does the
  // comparison here, trailing line end included.
  const std::string password_file = line.value("--password-file").value_or("keelback/pw.txt");
  if (!readWholeFile(password_file, options.service_password, 1024 * 1024)) {
    return fail("cannot read the service password file " + password_file);
  }
  std::string error;
  std::optional<long long> port, stall, close, cut_once;
  if (!line.number("--port", 1, 65535, port, error) || !line.number("--stall-after", 0, INT64_MAX, stall, error) ||
      !line.number("--close-after", 0, INT64_MAX, close, error) ||
      !line.number("--cut-once-after", 0, INT64_MAX, cut_once, error)) {
    return fail(error);
  }
  if ((stall ? 1 : 0) + (close ? 1 : 0) + (cut_once ? 1 : 0) > 1) {
    return fail("--stall-after, --close-after and --cut-once-after exclude each other");
  }
  options.port = static_cast<uint16_t>(port.value_or(35623));
  if (stall) {
    options.faults.stall_after = *stall;
  }
  if (close) {
    options.faults.close_after = *close;
  }
  if (cut_once) {
    options.faults.cut_once_after = *cut_once;
  }
  options.faults.split_size = line.has("--split-size");
  options.faults.refuse_images = line.has("--refuse-images");
  options.faults.refuse_records = line.has("--refuse-records");
  options.faults.garbage_listings = line.has("--garbage-listings");
  options.faults.corrupt_records = line.has("--corrupt-records");
  serve(options, error);
  return fail(error);
}

int runCapture(const CommandLine& line) {
  CaptureOptions options;
  for (const char* required : {"--client", "--disk", "--partition", "--letter"}) {
    if (!line.value(required)) {
      return fail(std::string(required) + " is required");
    }
  }
  std::string error;
  std::optional<long long> partition, time, associated, device;
  if (!line.number("--partition", 1, 0xFFFFFF, partition, error) || !line.number("--time", 0, INT64_MAX, time, error) ||
      !line.number("--associated-to", 1, 0x7FFFFFFF, associated, error) ||
      !line.number("--device-number", 0, 0x7FFFFFFF, device, error)) {
    return fail(error);
  }
  options.client = *line.value("--client");
  options.disk = *line.value("--disk");
  options.partition = static_cast<int>(*partition);
  options.letter = *line.value("--letter");
  options.time = time;
  options.associated_to = static_cast<int>(associated.value_or(0));
  options.device_number = static_cast<int>(device.value_or(0));
  options.allow_plain_file = line.has("--allow-plain-file");
  const auto image = captureImage(Store(*line.value("--store")), options, error);
  if (!image) {
    return fail(error);
  }
  std::cout << image->id << "\n";
  return 0;
}

int runList(const CommandLine& line) {
  const Store store(*line.value("--store"));
  if (!store.exists()) {
    return fail("no store at " + store.root().string());
  }
  for (const std::string& client : store.clients()) {
    std::cout << "client " << client << "\n";
    for (const ImageMeta& image : store.images(client)) {
      std::cout << (image.associated_to != 0 ? "    associated to " + std::to_string(image.associated_to) + ": " : "  ")
                << "image " << image.id << "  time " << image.time << " (" << image.date << ")  letter "
                << image.letter << "  size " << image.image_size << " bytes  data " << image.data_blocks
                << " blocks  partition " << image.partition << " of " << image.source << "\n";
    }
  }
  const auto users = store.users();
  if (users.empty()) {
    std::cout << "users: none (open store)\n";
  }
  for (const StoreUser& user : users) {
    std::cout << "user " << user.name << "  rounds " << user.rounds << "\n";
  }
  return 0;
}

int runAddUser(const CommandLine& line) {
  const auto given = line.value("--password");
  const auto file = line.value("--password-file");
  if (!line.value("--user") || (given.has_value() == file.has_value())) {
    return fail("--user and one of --password-file and --password are required");
  }
  std::string error;
  std::string password;
  if (file) {
    const auto read = readPasswordLine(*file, std::cin, error);
    if (!read) {
      return fail("--password-file: " + error);
    }
    password = *read;
  } else {
    std::cerr << "backup-service: warning: ps shows --password to every user of this machine; use --password-file\n";
    password = *given;
  }
  std::optional<long long> rounds;
  if (!line.number("--rounds", 0, 100000000, rounds, error)) {
    return fail(error);
  }
  StoreUser user;
  user.name = *line.value("--user");
  if (!isValidUserName(user.name)) {
    return fail("the user name \"" + user.name + "\" cannot be used");
  }
  user.salt = randomHex(8);
  user.rounds = static_cast<int>(rounds.value_or(0));
  user.digest = passwordDigest(password, user.salt, user.rounds);
  const Store store(*line.value("--store"));
  if (!store.create(error) || !store.addUser(user, error)) {
    return fail(error);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  struct Sub {
    const char* name;
    std::set<std::string> values;
    std::set<std::string> switches;
    int (*run)(const CommandLine&);
  };
  const std::vector<Sub> subs{
      {"init", {"--store"}, {}, runInit},
      {"serve",
       {"--store", "--port", "--password-file", "--stall-after", "--close-after", "--cut-once-after"},
       {"--split-size", "--refuse-images", "--refuse-records", "--garbage-listings", "--corrupt-records"},
       runServe},
      {"capture",
       {"--store", "--client", "--disk", "--partition", "--letter", "--time", "--associated-to", "--device-number"},
       {"--allow-plain-file"},
       runCapture},
      {"list", {"--store"}, {}, runList},
      {"adduser", {"--store", "--user", "--password", "--password-file", "--rounds"}, {}, runAddUser},
  };
  for (const Sub& sub : subs) {
    if (command == sub.name) {
      CommandLine line;
      std::string error;
      if (!line.parse(args, sub.values, sub.switches, error)) {
        std::cerr << "backup-service " << command << ": " << error << "\n" << kUsage;
        return 2;
      }
      if (!line.value("--store")) {
        return fail("--store is required");
      }
      return sub.run(line);
    }
  }
  std::cerr << kUsage;
  return 2;
}
