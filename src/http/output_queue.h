// What a connection still has to send: byte strings and whole stretches of open files, in
// order. Files go from the page cache to the socket (sendfile) without passing through here.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "http/file_stream.h"

namespace nv {

class TOutputQueue {
 public:
  TOutputQueue() = default;
  TOutputQueue(const TOutputQueue&) = delete;
  TOutputQueue& operator=(const TOutputQueue&) = delete;

  void Append(std::string bytes);
  // The first length bytes of an open file; the queue lets its share go once done.
  void AppendFile(std::shared_ptr<TSharedFile> file, long long length);

  bool Empty() const { return pieces_.empty(); }
  long long Pending() const { return pending_; }  // bytes not yet taken by the socket

  // Sends what the non-blocking socket takes now, at most about max_bytes. Returns the bytes
  // sent; throws std::runtime_error when the socket fails or a file ends before its length.
  long long Send(int socket, long long max_bytes);

 private:
  struct Piece {
    std::string bytes;
    size_t done = 0;                    // bytes of `bytes` already sent
    std::shared_ptr<TSharedFile> file;  // set for a file piece
    long long offset = 0;
    long long left = 0;
  };
  long long SendBytes(int socket, long long max_bytes);
  long long SendFile(int socket, Piece& piece, long long max_bytes);
  void PopFront();

  std::deque<Piece> pieces_;
  long long pending_ = 0;
};

}  // namespace nv
