#pragma once
// The byte-pipe interfaces that the packet layer writes to and reads from.
// Time-outs are in milliseconds; -1 waits without limit.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class IObject {
public:
  virtual ~IObject() = default;
  // The owner's way to release the object.
  virtual void Remove() { delete this; }
};

// Rate limiter hook. false means "stop".
class IPipeThrottler {
public:
  virtual ~IPipeThrottler() = default;
  virtual bool throttle(size_t newBytes, bool wait) = 0;
};

class IPipe : public IObject {
public:
  // Returns the number of bytes read; 0 on time-out, closed peer or error
  // (hasError() tells the last two apart from a time-out).
  virtual size_t Read(char* buffer, size_t bsize, int timeoutms = -1) = 0;
  virtual bool Write(const char* buffer, size_t bsize, int timeoutms = -1, bool flush = true) = 0;
  virtual size_t Read(std::string* ret, int timeoutms = -1) = 0;
  virtual bool Write(const std::string& str, int timeoutms = -1, bool flush = true) = 0;
  virtual bool Flush(int timeoutms = -1) = 0;
  virtual bool isWritable(int timeoutms = 0) = 0;
  virtual bool isReadable(int timeoutms = 0) = 0;
  virtual bool hasError() = 0;
  virtual void shutdown() = 0;
  virtual size_t getNumElements() = 0;
  virtual void addThrottler(IPipeThrottler* throttler) = 0;
  virtual void addOutgoingThrottler(IPipeThrottler* throttler) = 0;
  virtual void addIncomingThrottler(IPipeThrottler* throttler) = 0;
  virtual int64_t getTransferedBytes() = 0;
  virtual void resetTransferedBytes() = 0;
  virtual int64_t getRealTransferredBytes() { return 0; }
};

// Owns a pipe and releases it through Remove() on every path.
struct PipeRemover {
  void operator()(IPipe* pipe) const { pipe->Remove(); }
};
using PipePtr = std::unique_ptr<IPipe, PipeRemover>;
