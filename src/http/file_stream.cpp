#include "http/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nv {

TFileStream::TFileStream(const std::string& path)
    : TFileStream(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

TFileStream::TFileStream(int fd)
    : TFileStream(fd >= 0 ? std::make_shared<TSharedFile>(fd) : nullptr) {}

TFileStream::TFileStream(std::shared_ptr<TSharedFile> file)
    : std::istream(nullptr), file_(std::move(file)) {
  buffer_.fd = file_ ? file_->Descriptor() : -1;
  init(&buffer_);
  if (buffer_.fd < 0) setstate(std::ios::failbit);
}

TSharedFile::~TSharedFile() {
  if (fd_ >= 0) close(fd_);
}

TFileStream::Buffer::int_type TFileStream::Buffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  start += egptr() - eback();
  setg(bytes, bytes, bytes);
  if (fd < 0) return traits_type::eof();
  ssize_t n;
  do {
    n = pread(fd, bytes, sizeof bytes, start);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return traits_type::eof();
  setg(bytes, bytes, bytes + n);
  return traits_type::to_int_type(*gptr());
}

TFileStream::Buffer::pos_type TFileStream::Buffer::seekoff(off_type off, std::ios_base::seekdir dir,
                                                           std::ios_base::openmode which) {
  off_type base = start + (gptr() - eback());
  if (dir == std::ios_base::end) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return pos_type(off_type(-1));
    base = st.st_size;
  } else if (dir == std::ios_base::beg) {
    base = 0;
  }
  return seekpos(pos_type(base + off), which);
}

TFileStream::Buffer::pos_type TFileStream::Buffer::seekpos(pos_type pos, std::ios_base::openmode) {
  if (fd < 0 || off_type(pos) < 0) return pos_type(off_type(-1));
  start = off_type(pos);
  setg(bytes, bytes, bytes);
  return pos;
}

}  // namespace nv
