#include "http/output_queue.h"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace nv {

namespace {

// Byte pieces that go out together in one sendmsg.
constexpr size_t kGather = 16;

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

[[noreturn]] void ThrowWriteFailure(int err) {
  throw std::runtime_error(std::string("Client write failed: ") + std::strerror(err));
}

}  // namespace

void TOutputQueue::Append(std::string bytes) {
  if (bytes.empty()) return;
  pending_ += static_cast<long long>(bytes.size());
  Piece piece;
  piece.bytes = std::move(bytes);
  pieces_.push_back(std::move(piece));
}

void TOutputQueue::AppendFile(std::shared_ptr<TSharedFile> file, long long length) {
  if (length <= 0) return;
  pending_ += length;
  Piece piece;
  piece.file = std::move(file);
  piece.left = length;
  pieces_.push_back(std::move(piece));
}

void TOutputQueue::PopFront() { pieces_.pop_front(); }

long long TOutputQueue::Send(int socket, long long max_bytes) {
  long long sent = 0;
  while (!pieces_.empty() && sent < max_bytes) {
    Piece& front = pieces_.front();
    long long n =
        front.file ? SendFile(socket, front, max_bytes - sent) : SendBytes(socket, max_bytes);
    if (n == 0) break;  // the socket takes no more for now
    sent += n;
    pending_ -= n;
  }
  return sent;
}

long long TOutputQueue::SendBytes(int socket, long long max_bytes) {
  iovec iov[kGather];
  size_t count = 0;
  long long offered = 0;
  bool file_follows = false;
  for (const Piece& piece : pieces_) {
    if (piece.file) {
      file_follows = true;
      break;
    }
    if (count == kGather || offered >= max_bytes) break;
    iov[count].iov_base = const_cast<char*>(piece.bytes.data() + piece.done);
    iov[count].iov_len = piece.bytes.size() - piece.done;
    offered += static_cast<long long>(iov[count].iov_len);
    ++count;
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = count;
  // A head followed by a file leaves in the same segment as the file's first bytes.
  ssize_t n = sendmsg(socket, &msg, MSG_NOSIGNAL | (file_follows ? MSG_MORE : 0));
  if (n < 0) {
    if (WouldBlock(errno)) return 0;
    ThrowWriteFailure(errno);
  }
  size_t left = static_cast<size_t>(n);
  while (left > 0) {
    Piece& front = pieces_.front();
    size_t take = std::min(left, front.bytes.size() - front.done);
    front.done += take;
    left -= take;
    if (front.done == front.bytes.size()) PopFront();
  }
  return n;
}

long long TOutputQueue::SendFile(int socket, Piece& piece, long long max_bytes) {
  off_t offset = piece.offset;
  size_t want = static_cast<size_t>(std::min(piece.left, max_bytes));
  ssize_t n = sendfile(socket, piece.file->Descriptor(), &offset, want);
  if (n < 0) {
    if (WouldBlock(errno)) return 0;
    ThrowWriteFailure(errno);
  }
  if (n == 0) {
    // The file is shorter than announced: the connection must end here rather than let the
    // client take later bytes for the missing body.
    throw std::runtime_error("HTTP response stream ended before its Content-Length");
  }
  piece.offset += n;
  piece.left -= n;
  if (piece.left == 0) PopFront();
  return n;
}

}  // namespace nv
