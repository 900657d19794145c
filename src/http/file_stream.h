// An input stream over an open file that can give its descriptor away, so that the server can
// send the file to the socket with sendfile instead of reading it through this process.
#pragma once

#include <istream>
#include <streambuf>
#include <string>

namespace nv {

class TFileStream : public std::istream {
 public:
  explicit TFileStream(const std::string& path);  // opened read-only; see is_open()
  explicit TFileStream(int fd);                   // takes over an open descriptor
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  ~TFileStream() override;

  bool is_open() const { return buffer_.fd >= 0; }
  int Descriptor() const { return buffer_.fd; }
  // Hands the descriptor over (the caller closes it); the stream is closed from then on.
  int Release();

 private:
  // Reads with pread from its own position, so seeking costs no system call.
  struct Buffer : std::streambuf {
    int fd = -1;
    off_t start = 0;  // file position of eback()
    char bytes[64 * 1024];

    int_type underflow() override;
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override;
    pos_type seekpos(pos_type pos, std::ios_base::openmode) override;
  };

  Buffer buffer_;
};

}  // namespace nv
