#pragma once
// Following the backup service's image download from outside: the service is
// asked again and again for its progress, and every change is printed as a
// bare number, one per line, which the agent turns into the drive's status.
#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

// One answer of the service: 0..100 while a download runs, -1 when none
// runs; nothing when it could not be asked or answered something else.
using DownloadProgressQuery = std::function<std::optional<int>()>;

struct DownloadProgressLimits {
  std::chrono::milliseconds poll_interval{500};
  // Polls without a running download before giving up on one starting.
  int polls_until_started = 20;
  // Unanswered polls in a row, once a download was seen, before giving up.
  int polls_without_answer = 20;
};

// Prints each new percentage (flushed at once) until the download ends: the
// service reports 100, or no download any more after having reported one.
// Returns the exit status: 0 when a download was followed to its end, 1 when
// none started or the service stopped answering; the reason then goes to
// `diagnostics`, never to `out`, whose every line is read as a number.
int followDownloadProgress(const DownloadProgressQuery& query, std::ostream& out, std::ostream& diagnostics,
                           const DownloadProgressLimits& limits = {});

// Reads a service reply: an integer from -1 to 100 and nothing else.
std::optional<int> parseDownloadProgress(const std::string& reply);

// Asks the service on localhost for the progress of the running download.
std::optional<int> queryServiceDownloadProgress();
