#pragma once
// A thin owner of one OS file or block device descriptor. Reads and writes are
// single system calls; short counts go back to the caller, errors set the
// optional flag and are never thrown.
#include <string>

class File {
public:
  // Names of the numeric open modes the agent uses.
  static constexpr int readOnly = 0;
  static constexpr int readWriteUncached = 10;  // written data is not kept in the page cache

  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool Open(std::string name, int mode);
  bool Open(void* handle, const std::string& name);
  bool OpenTemporaryFile(const std::string& dir = std::string(), bool first_try = true);

  std::string Read(unsigned int count, bool* has_error = nullptr);
  std::string Read(long long offset, unsigned int count, bool* has_error = nullptr);
  unsigned int Read(char* buffer, unsigned int count, bool* has_error = nullptr);
  unsigned int Read(long long offset, char* buffer, unsigned int count, bool* has_error = nullptr);

  unsigned int Write(const std::string& data, bool* has_error = nullptr);
  unsigned int Write(long long offset, const std::string& data, bool* has_error = nullptr);
  unsigned int Write(const char* buffer, unsigned int count, bool* has_error = nullptr);
  unsigned int Write(long long offset, const char* buffer, unsigned int count, bool* has_error = nullptr);

  bool Seek(long long offset);
  long long Size();
  long long RealSize();
  bool Sync();
  bool Resize(long long new_size, bool set_sparse = true);
  bool PunchHole(long long offset, long long length);
  void resetSparseExtentIter();
  void Close();

  int descriptor() const { return fd; }
  const std::string& name() const { return fname; }

private:
  int fd = -1;
  std::string fname;
  long long sparse_extent_pos = 0;
};

bool DeleteFileInt(std::string path);
