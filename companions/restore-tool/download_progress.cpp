#include "download_progress.h"

#include <charconv>

#include "support/pause.h"
#include "support/text.h"

int followDownloadProgress(const DownloadProgressQuery& query, std::ostream& out, std::ostream& diagnostics,
                           const DownloadProgressLimits& limits) {
  bool seen_download = false;
  int last_printed = -2;
  int idle_polls = 0;
  int unanswered_polls = 0;
  for (;;) {
    const std::optional<int> answer = query();
    if (answer && *answer >= 0) {
      seen_download = true;
      unanswered_polls = 0;
      if (*answer != last_printed) {
        last_printed = *answer;
        out << *answer << std::endl;
        if (out.fail()) {
          return 1;
        }
      }
      if (*answer == 100) {
        return 0;
      }
    } else if (answer && seen_download) {
      // The download is over; how it ended is the restore's business.
      return 0;
    } else if (seen_download) {
      if (++unanswered_polls >= limits.polls_without_answer) {
        diagnostics << "the backup service stopped answering during the download" << std::endl;
        return 1;
      }
    } else if (++idle_polls >= limits.polls_until_started) {
      diagnostics << (answer ? "no image download started" : "the backup service did not answer") << std::endl;
      return 1;
    }
    pauseFor(limits.poll_interval);
  }
}

std::optional<int> parseDownloadProgress(const std::string& reply) {
  const std::string text = trim(reply);
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < -1 || value > 100) {
    return std::nullopt;
  }
  return value;
}
