// A limit on the size of the files this process writes, standing in for a full disk: a write
// past it fails with EFBIG ("File too large") instead of raising SIGXFSZ. The former limit
// comes back when the object goes.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace nv::test {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &former_);
    rlimit limit = former_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &former_); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit former_;
};

}  // namespace nv::test
