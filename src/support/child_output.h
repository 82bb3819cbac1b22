#pragma once
// A child program whose standard output is read piece by piece, with a
// time-out on every wait and a way to stop it: a reader must be able to end
// even while the child prints nothing.
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <string>

class ChildOutput {
public:
  // Runs `command` through the shell, in a process group of its own, with its
  // standard output on a pipe.
  explicit ChildOutput(const std::string& command);
  // Stops the child if it still runs and waits for it.
  ~ChildOutput();
  ChildOutput(const ChildOutput&) = delete;
  ChildOutput& operator=(const ChildOutput&) = delete;

  bool started() const { return handle_ != nullptr; }
  // The read end as a stream handle, to publish that a child is running. Not
  // for reading: the pieces come from next().
  FILE* handle() const { return handle_; }

  enum class Read { piece, ended, waiting };
  // The next piece of output as fgets with a 512-byte buffer gives it: up to
  // and including a newline, at most 511 characters. waiting when nothing
  // complete arrived within `wait`.
  Read next(std::string& piece, std::chrono::milliseconds wait);

  // Ends the child's whole process group.
  void stop();
  // Closes the pipe and waits for the child; its wait status, or -1.
  int close();

private:
  bool takePiece(std::string& piece, bool atEnd);

  FILE* handle_ = nullptr;
  pid_t pid_ = -1;
  std::string buffer_;
  bool eof_ = false;
  int status_ = -1;
};
