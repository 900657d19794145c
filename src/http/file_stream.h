// An input stream over an open file that can share its descriptor, so that the server can
// send the file to the socket with sendfile instead of reading it through this process.
#pragma once

#include <istream>
#include <memory>
#include <streambuf>
#include <string>

namespace nv {

// An open file held by all that send it; closed when the last one lets it go.
class TSharedFile {
 public:
  explicit TSharedFile(int fd) : fd_(fd) {}
  TSharedFile(const TSharedFile&) = delete;
  TSharedFile& operator=(const TSharedFile&) = delete;
  ~TSharedFile();
  int Descriptor() const { return fd_; }

 private:
  int fd_;
};

class TFileStream : public std::istream {
 public:
  explicit TFileStream(const std::string& path);            // opened read-only; see is_open()
  explicit TFileStream(int fd);                             // takes over an open descriptor
  explicit TFileStream(std::shared_ptr<TSharedFile> file);  // reads a shared one
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
  ~TFileStream() override = default;

  bool is_open() const { return buffer_.fd >= 0; }
  int Descriptor() const { return buffer_.fd; }
  // The stream's file as a shared one (the stream keeps reading it).
  std::shared_ptr<TSharedFile> Share() const { return file_; }

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
  std::shared_ptr<TSharedFile> file_;  // owns buffer_.fd; null when nothing is open
};

}  // namespace nv
