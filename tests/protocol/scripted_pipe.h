#pragma once
// An IPipe without a socket: writes are recorded piece by piece, reads hand
// out prepared chunks one per call and then report a broken connection.
#include <deque>
#include <string>
#include <vector>

#include "protocol/pipe.h"

class ScriptedPipe : public IPipe {
public:
  struct WriteCall {
    std::string bytes;
    int timeoutms;
    bool flush;
  };

  std::vector<WriteCall> writes;
  std::deque<std::string> chunks;
  bool failWrites = false;
  size_t failAfterWrites = static_cast<size_t>(-1);
  int readCalls = 0;

  size_t Read(char* buffer, size_t bsize, int /*timeoutms*/) override {
    ++readCalls;
    if (chunks.empty()) {
      broken_ = true;
      return 0;
    }
    std::string& front = chunks.front();
    const size_t n = front.size() < bsize ? front.size() : bsize;
    front.copy(buffer, n);
    front.erase(0, n);
    if (front.empty()) {
      chunks.pop_front();
    }
    return n;
  }
  bool Write(const char* buffer, size_t bsize, int timeoutms, bool flush) override {
    if (failWrites || writes.size() >= failAfterWrites) {
      return false;
    }
    writes.push_back({std::string(buffer, bsize), timeoutms, flush});
    return true;
  }
  size_t Read(std::string* ret, int timeoutms) override {
    char buffer[8192];
    const size_t n = Read(buffer, sizeof buffer, timeoutms);
    if (n > 0) ret->assign(buffer, n);
    return n;
  }
  bool Write(const std::string& str, int timeoutms, bool flush) override {
    return Write(str.data(), str.size(), timeoutms, flush);
  }
  bool Flush(int) override { return true; }
  bool isWritable(int) override { return true; }
  bool isReadable(int) override { return !chunks.empty(); }
  bool hasError() override { return broken_; }
  void shutdown() override {}
  size_t getNumElements() override { return 0; }
  void addThrottler(IPipeThrottler*) override {}
  void addOutgoingThrottler(IPipeThrottler*) override {}
  void addIncomingThrottler(IPipeThrottler*) override {}
  int64_t getTransferedBytes() override { return 0; }
  void resetTransferedBytes() override {}

  std::string written() const {
    std::string all;
    for (const WriteCall& call : writes) all += call.bytes;
    return all;
  }

private:
  bool broken_ = false;
};
