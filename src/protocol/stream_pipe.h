#pragma once
// IPipe over one connected, non-blocking TCP socket. Every socket call uses
// MSG_NOSIGNAL, so a broken connection never raises SIGPIPE.
#include <vector>

#include "protocol/pipe.h"

class CStreamPipe : public IPipe {
public:
  // Takes ownership of `socket`; the destructor closes it.
  explicit CStreamPipe(int socket);
  ~CStreamPipe() override;
  CStreamPipe(const CStreamPipe&) = delete;
  CStreamPipe& operator=(const CStreamPipe&) = delete;

  size_t Read(char* buffer, size_t bsize, int timeoutms = -1) override;
  bool Write(const char* buffer, size_t bsize, int timeoutms = -1, bool flush = true) override;
  size_t Read(std::string* ret, int timeoutms = -1) override;
  bool Write(const std::string& str, int timeoutms = -1, bool flush = true) override;
  bool Flush(int timeoutms = -1) override;
  bool isWritable(int timeoutms = 0) override;
  bool isReadable(int timeoutms = 0) override;
  bool hasError() override;
  void shutdown() override;
  size_t getNumElements() override;
  void addThrottler(IPipeThrottler* throttler) override;
  void addOutgoingThrottler(IPipeThrottler* throttler) override;
  void addIncomingThrottler(IPipeThrottler* throttler) override;
  int64_t getTransferedBytes() override;
  void resetTransferedBytes() override;

private:
  enum class Ready { yes, timedOut, failed };
  Ready waitFor(short events, int timeoutms);
  bool throttle(std::vector<IPipeThrottler*>& throttlers, size_t bytes, bool wait);

  int s;
  int64_t transferred_bytes = 0;
  bool has_error = false;
  std::vector<IPipeThrottler*> incoming_throttles;
  std::vector<IPipeThrottler*> outgoing_throttles;
};
