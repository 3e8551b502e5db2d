#include "platform/posix/fd_io.h"
#include "platform/posix/trace_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qs::platform::posix {
namespace {

// Flags column: the socket listens (__SO_ACCEPTCON).
constexpr std::uint32_t kAcceptCon = 0x00010000;
// Type column: SOCK_SEQPACKET.
constexpr std::uint32_t kTypeSeqPacket = 0x0005;
// Columns before the path: Num, RefCount, Protocol, Flags, Type, St, Inode.
constexpr int kFixedColumns = 7;
// New connections taken per look, so that a flood of them cannot hold up
// the lines of the peers already connected.
constexpr int kAcceptsPerLook = 16;

bool ParseHex(std::string_view text, std::uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t v = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    v = v * 16 + static_cast<std::uint32_t>(digit);
  }
  *value = v;
  return true;
}

// One row of the table: the title of a listening abstract SOCK_SEQPACKET
// socket, or false. The inode column is padded on the left with blanks and
// the path follows it after exactly one blank, bytes as they are.
bool ParseRow(std::string_view row, std::string* title) {
  std::string_view columns[kFixedColumns];
  std::size_t pos = 0;
  for (int i = 0; i < kFixedColumns; ++i) {
    while (pos < row.size() && row[pos] == ' ') ++pos;
    std::size_t end = pos;
    while (end < row.size() && row[end] != ' ') ++end;
    if (end == pos) return false;
    columns[i] = row.substr(pos, end - pos);
    pos = end;
  }
  if (columns[0].back() != ':') return false;  // the header row, or garbage
  std::uint32_t flags, type;
  if (!ParseHex(columns[3], &flags) || !ParseHex(columns[4], &type)) {
    return false;
  }
  if ((flags & kAcceptCon) == 0 || type != kTypeSeqPacket) return false;
  // " @name": the '@' stands for the leading NUL of an abstract name.
  if (pos + 2 > row.size() || row[pos] != ' ' || row[pos + 1] != '@') {
    return false;
  }
  std::string_view name = row.substr(pos + 2);
  if (name.empty()) return false;
  title->assign(name);
  return true;
}

std::int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

bool IsValidEndpointTitle(std::string_view title) {
  return !title.empty() && title.size() <= kMaxEndpointTitle &&
         title.find('\0') == std::string_view::npos &&
         title.find('\n') == std::string_view::npos;
}

std::vector<std::string> ParseListeningEndpoints(std::string_view table) {
  std::vector<std::string> titles;
  std::size_t start = 0;
  while (start < table.size()) {
    std::size_t end = table.find('\n', start);
    if (end == std::string_view::npos) end = table.size();
    std::string title;
    if (ParseRow(table.substr(start, end - start), &title) &&
        std::find(titles.begin(), titles.end(), title) == titles.end()) {
      titles.push_back(std::move(title));
    }
    start = end + 1;
  }
  return titles;
}

bool PeerIsTrusted(int fd, uid_t* uid) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  if (uid != nullptr) *uid = peer.uid;
  return peer.uid == ::geteuid() || peer.uid == 0;
}

std::vector<std::string> ListListeningEndpoints() {
  std::string table;
  if (!ReadFileInto("/proc/net/unix", &table)) return {};
  return ParseListeningEndpoints(table);
}

// ---------------------------------------------------------------------------

TraceListener::~TraceListener() { Close(); }

void TraceListener::Close() {
  for (int peer : peers_) ::close(peer);
  peers_.clear();
  next_peer_ = 0;
  if (fd_ >= 0) ::close(fd_);
  if (spare_ >= 0) ::close(spare_);
  fd_ = spare_ = -1;
}

bool TraceListener::Listen(const std::string& title) {
  Close();
  error_ = 0;
  title_ = title;
  if (!IsValidEndpointTitle(title)) {
    error_ = EINVAL;
    return false;
  }
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error_ = errno;
    return false;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, title.data(), title.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                       title.size());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    error_ = errno;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  spare_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  return true;
}

bool TraceListener::AcceptPending() {
  bool quiet = true;
  for (int i = 0; i < kAcceptsPerLook; ++i) {
    int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (peer < 0 && (errno == EMFILE || errno == ENFILE) && spare_ >= 0) {
      // Out of descriptors, the connection would stay queued and poll would
      // report it again at once, for ever: the spare descriptor makes room
      // to take it off the queue, and it is dropped.
      ::close(spare_);
      peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (peer >= 0) ::close(peer);
      spare_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
      continue;
    }
    if (peer < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;  // EAGAIN: nothing more; anything else: try again next wait
    }
    // Another user's program may not write to this user's terminal.
    uid_t uid = static_cast<uid_t>(-1);
    if (PeerIsTrusted(peer, &uid)) {
      peers_.push_back(peer);
      continue;
    }
    ::close(peer);
    if (std::find(refused_.begin(), refused_.end(), uid) == refused_.end()) {
      refused_.push_back(uid);
      quiet = false;
    }
  }
  return quiet;
}

bool TraceListener::ReadOne(std::size_t index, short revents,
                            std::string* message) {
  int peer = peers_[index];
  // The length of the next message, without taking it.
  ssize_t length = ::recv(peer, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
  if (length < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  if (length > 0) {
    std::string data(static_cast<std::size_t>(length), '\0');
    ssize_t n = ::recv(peer, data.data(), data.size(), MSG_DONTWAIT);
    if (n == length) {
      *message = std::move(data);
      return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
  } else if (length == 0 && (revents & (POLLHUP | POLLRDHUP)) == 0) {
    // An empty message (the sender never sends one, but a stranger may):
    // take it and show nothing.
    char none;
    if (::recv(peer, &none, 0, MSG_DONTWAIT) == 0) return false;
  }
  // End of the connection, or an error on it.
  ::close(peer);
  peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(index));
  if (next_peer_ > index) --next_peer_;
  return false;
}

TraceListener::Event TraceListener::Wait(std::string* message, int timeout_ms,
                                         int wake_fd) {
  if (fd_ < 0) return Event::kError;
  const std::int64_t deadline =
      timeout_ms < 0 ? -1 : MonotonicMs() + timeout_ms;
  std::vector<pollfd> fds;
  for (;;) {
    int wait_ms = -1;
    if (deadline >= 0) {
      wait_ms = static_cast<int>(std::max<std::int64_t>(
          0, deadline - MonotonicMs()));
    }
    fds.clear();
    fds.push_back({fd_, POLLIN, 0});
    if (wake_fd >= 0) fds.push_back({wake_fd, POLLIN, 0});
    const std::size_t first_peer = fds.size();
    for (int peer : peers_) fds.push_back({peer, POLLIN | POLLRDHUP, 0});

    int ready = ::poll(fds.data(), fds.size(), wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Event::kError;
    }
    if (wake_fd >= 0 && fds[1].revents != 0) return Event::kWake;
    if (ready > 0) {
      // Scan the connections that were polled, starting where the last scan
      // stopped, so that one busy sender cannot starve the others. ReadOne
      // may remove a connection; walk by descriptor, not by index.
      const std::size_t count = fds.size() - first_peer;
      for (std::size_t k = 0; k < count; ++k) {
        const pollfd& p = fds[first_peer + (next_peer_ + k) % count];
        if (p.revents == 0) continue;
        auto it = std::find(peers_.begin(), peers_.end(), p.fd);
        if (it == peers_.end()) continue;
        std::size_t index = static_cast<std::size_t>(it - peers_.begin());
        if (ReadOne(index, p.revents, message)) {
          next_peer_ = peers_.empty() ? 0 : (index + 1) % peers_.size();
          return Event::kMessage;
        }
      }
      if (fds[0].revents & POLLIN) {
        const std::size_t before = peers_.size();
        if (!AcceptPending()) return Event::kRefused;
        // New connections may already hold messages: look before giving up.
        if (peers_.size() != before) continue;
      }
    }
    if (deadline >= 0 && MonotonicMs() >= deadline) return Event::kTimeout;
  }
}

bool TraceListener::Receive(std::string* message, int timeout_ms) {
  return Wait(message, timeout_ms) == Event::kMessage;
}

}  // namespace qs::platform::posix
