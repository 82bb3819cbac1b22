// The restore tool. Commands that write report on standard output, where the
// agent reads them: progress lines, a line holding "successfully", or a line
// holding "error". Commands whose output the agent reads as values
// (--mbr-info, --image-download-progress) keep messages on standard error.
#include <csignal>
#include <exception>
#include <iostream>

#include "download_progress.h"
#include "image_capture.h"
#include "image_restore.h"
#include "partition_record_file.h"
#include "partition_table_restore.h"
#include "tool_options.h"

namespace {

int run(const std::vector<std::string>& args) {
  std::string error;
  const std::optional<ToolOptions> options = parseToolOptions(args, error);
  if (!options) {
    std::cout << "error: " << error << "\n" << toolUsage() << std::flush;
    return 2;
  }
  switch (options->operation) {
    case ToolOperation::MbrInfo:
      return mbrInfoCommand(options->input, std::cout, std::cerr);
    case ToolOperation::RestoreMbr:
      return restoreMbrCommand(options->input, options->output, std::cout);
    case ToolOperation::RestoreImage:
      return restoreImageCommand(options->input, options->output, std::cout);
    case ToolOperation::ImageDownloadProgress:
      return followDownloadProgress(queryServiceDownloadProgress, std::cout, std::cerr);
    case ToolOperation::CreateImage:
      return createImageCommand({options->disk, options->partition, options->device_number, options->output},
                                std::cout);
    case ToolOperation::Help:
      std::cout << toolUsage() << std::flush;
      return 0;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed output pipe (the agent stops reading when the user cancels) ends
  // the work through a failed write instead of killing the tool between two
  // writes to a device.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& failure) {
    std::cout << "error: " << failure.what() << std::endl;
  } catch (...) {
    std::cout << "error: unexpected failure" << std::endl;
  }
  return 1;
}
