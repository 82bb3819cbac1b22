// The image download bound to the agent's session state.
#include "control/durable_progress.h"
#include "control/shared_state.h"
#include "protocol/image_download.h"

namespace {

class SessionProgress : public DurableProgressObserver {
public:
  void begin() override { durableDownloadProgress.begin(); }
  void update(int64_t handed, int64_t durable) override { durableDownloadProgress.update(handed, durable); }
  void end() override { durableDownloadProgress.end(); }
};

}  // namespace

int downloadImage(int img_id, std::string img_time, std::string outfile, bool mbr, int64_t offset, int,
                  int64_t* out_imgsize, int64_t* out_targetsize) {
  SessionProgress progress;
  DownloadSession session;
  session.cancelled = [] { return cancelrestore.load(); };
  session.dataArrived = [] {
    if (!restore_retry_ok.load()) {
      restore_retry_ok = true;
    }
  };
  session.progress = &progress;
  return runImageDownload(session, img_id, img_time, outfile, mbr, offset, out_imgsize, out_targetsize);
}
