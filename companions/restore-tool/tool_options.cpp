#include "tool_options.h"

#include <charconv>
#include <map>

namespace {

// Which operation each flag selects, and whether it takes the input file.
struct OperationFlag {
  ToolOperation operation;
  bool takes_file;
};

const std::map<std::string, OperationFlag>& operationFlags() {
  static const std::map<std::string, OperationFlag> flags = {
      {"--mbr-info", {ToolOperation::MbrInfo, true}},
      {"--restore-mbr", {ToolOperation::RestoreMbr, true}},
      {"--restore-image", {ToolOperation::RestoreImage, true}},
      {"--image-download-progress", {ToolOperation::ImageDownloadProgress, false}},
      {"--create-image", {ToolOperation::CreateImage, false}},
      {"--help", {ToolOperation::Help, false}},
      {"-h", {ToolOperation::Help, false}},
  };
  return flags;
}

bool parseNonNegative(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && ptr == end && value >= 0;
}

}  // namespace

std::optional<ToolOptions> parseToolOptions(const std::vector<std::string>& args, std::string& error) {
  ToolOptions options;
  std::optional<ToolOperation> operation;
  std::map<std::string, std::string> values;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto flag = operationFlags().find(arg);
    if (flag != operationFlags().end()) {
      if (operation) {
        error = "only one operation may be given (" + arg + ")";
        return std::nullopt;
      }
      operation = flag->second.operation;
      if (!flag->second.takes_file) {
        continue;
      }
    } else if (arg != "-o" && arg != "--disk" && arg != "--partition" && arg != "--device-number") {
      error = "unexpected argument: " + arg;
      return std::nullopt;
    } else if (values.count(arg) != 0) {
      error = arg + " given twice";
      return std::nullopt;
    }
    if (i + 1 >= args.size() || args[i + 1].empty()) {
      error = arg + " needs a value";
      return std::nullopt;
    }
    values[flag != operationFlags().end() ? std::string("file") : arg] = args[++i];
  }

  if (!operation) {
    error = "no operation given";
    return std::nullopt;
  }
  options.operation = *operation;
  options.input = values["file"];
  values.erase("file");

  std::vector<std::string> needed;
  switch (options.operation) {
    case ToolOperation::RestoreMbr:
    case ToolOperation::RestoreImage:
      needed = {"-o"};
      break;
    case ToolOperation::CreateImage:
      needed = {"--disk", "--partition", "--device-number", "-o"};
      break;
    default:
      break;
  }
  for (const std::string& name : needed) {
    if (values.count(name) == 0) {
      error = name + " is required here";
      return std::nullopt;
    }
  }
  for (const auto& [name, value] : values) {
    bool wanted = false;
    for (const std::string& n : needed) {
      wanted = wanted || n == name;
    }
    if (!wanted) {
      error = name + " does not belong to this operation";
      return std::nullopt;
    }
  }

  options.output = values["-o"];
  options.disk = values["--disk"];
  if (options.operation == ToolOperation::CreateImage) {
    if (!parseNonNegative(values["--partition"], options.partition) || options.partition == 0) {
      error = "--partition needs a partition number from 1 on";
      return std::nullopt;
    }
    if (!parseNonNegative(values["--device-number"], options.device_number)) {
      error = "--device-number needs a number from 0 on";
      return std::nullopt;
    }
  }
  return options;
}

std::string toolUsage() {
  return "usage:\n"
         "  keelbackrestoreclient --mbr-info <partition-table file>\n"
         "  keelbackrestoreclient --restore-mbr <partition-table file> -o <disk device>\n"
         "  keelbackrestoreclient --restore-image <image.raw|image.vhd> -o <partition device>\n"
         "  keelbackrestoreclient --image-download-progress\n"
         "  keelbackrestoreclient --create-image --disk <disk device> --partition <n>"
         " --device-number <n> -o <image.raw|image.vhd>\n";
}
