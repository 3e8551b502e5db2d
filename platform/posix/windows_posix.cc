// Top-level "windows" on POSIX: the listening endpoints of the trace
// transport (see trace_socket.h).
//
// Handles: 1 is the desktop; every title met in a walk gets the next number
// from 2 on and keeps it for the life of the object. GW_CHILD of the desktop
// and GW_HWNDFIRST take a fresh snapshot of the socket table; GW_HWNDNEXT
// moves through the snapshot taken last.
//
// Sending: each text is one message on a connection to the endpoint, made on
// first use (AttachViewer or SendSetText) and kept per handle. AttachViewer
// never waits: an endpoint that takes no new connection at once is not
// taken, as anybody may listen under a viewer's title and never accept, and
// the search for a viewer must not wait on each of them. A text that
// cannot be delivered within one second (kSendDeadlineMs) is dropped. After
// such a timeout the viewer counts as hung: further texts are tried once
// without waiting and dropped at once if the viewer still takes nothing,
// until one goes through again. A hung viewer therefore costs the service
// one second once, not one second per line, and loses only the lines it
// could not take anyway. A connection the viewer closed fails silently from
// then on and is not made again, as a closed window stays gone.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/posix_impl.h"
#include "platform/posix/trace_socket.h"

namespace qs::platform::posix {
namespace {

constexpr Hwnd kDesktop = 1;
constexpr Hwnd kFormWindow = 0xFFFFFFFEu;
constexpr Hwnd kFirstWindow = 2;
// A visible overlapped window (WS_OVERLAPPEDWINDOW holds WS_BORDER).
constexpr std::uint32_t kTopLevelStyle = kWsVisible | kWsBorder | 0x00CF0000;
// WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN.
constexpr std::uint32_t kDesktopStyle = 0x96000000;

std::int64_t MonotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

enum class ConnectResult { kConnected, kFailed, kTimedOut, kRefused };

// Connects to the endpoint `title` before `deadline` (monotonic µs); waits
// only while the viewer's queue of new connections is full. Accepts only a
// viewer of our own user or of root.
ConnectResult Connect(const std::string& title, std::int64_t deadline,
                      int* out_fd) {
  if (!IsValidEndpointTitle(title)) return ConnectResult::kFailed;
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return ConnectResult::kFailed;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, title.data(), title.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 +
                                       title.size());
  for (;;) {
    std::int64_t remaining = deadline - MonotonicUs();
    if (remaining <= 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    } else {
      // SO_SNDTIMEO bounds the wait of a blocking connect on a Unix socket.
      timeval tv{static_cast<time_t>(remaining / 1000000),
                 static_cast<suseconds_t>(remaining % 1000000)};
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), length) == 0) {
      break;
    }
    const int err = errno;
    if (err == EINTR && remaining > 0) continue;
    ::close(fd);
    return err == EAGAIN || err == EINTR ? ConnectResult::kTimedOut
                                         : ConnectResult::kFailed;
  }
  if (!PeerIsTrusted(fd)) {
    ::close(fd);
    return ConnectResult::kRefused;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  *out_fd = fd;
  return ConnectResult::kConnected;
}

class SocketWindows final : public WindowSystem {
 public:
  explicit SocketWindows(int send_deadline_ms)
      : deadline_us_(std::int64_t{send_deadline_ms} * 1000) {}
  SocketWindows(const SocketWindows&) = delete;
  SocketWindows& operator=(const SocketWindows&) = delete;
  ~SocketWindows() override {
    for (Window& w : windows_) {
      if (w.fd >= 0) ::close(w.fd);
    }
  }

  Hwnd GetDesktopWindow() override { return kDesktop; }
  // Handles of endpoints count up from 2, so the top of the range is free.
  Hwnd FormWindow() override { return kFormWindow; }

  Hwnd GetWindow(Hwnd hwnd, unsigned cmd) override {
    if (hwnd == 0) return 0;
    if (hwnd == kDesktop) {
      if (cmd != kGwChild) return 0;  // the desktop has no siblings
      TakeSnapshot();
      return snapshot_.empty() ? 0 : snapshot_.front();
    }
    if (cmd == kGwHwndFirst) {
      // Any handle but the desktop's stands for a top-level window here: the
      // service's own hidden form has no endpoint and so no handle of ours.
      TakeSnapshot();
      return snapshot_.empty() ? 0 : snapshot_.front();
    }
    if (cmd == kGwHwndNext) {
      for (std::size_t i = 0; i + 1 < snapshot_.size(); ++i) {
        if (snapshot_[i] == hwnd) return snapshot_[i + 1];
      }
    }
    return 0;
  }

  int GetWindowText(Hwnd hwnd, char* buffer, int max) override {
    if (buffer == nullptr || max <= 0) return 0;
    const Window* w = Find(hwnd);
    const std::size_t count =
        w == nullptr ? 0
                     : std::min(w->title.size(), static_cast<std::size_t>(max - 1));
    if (count > 0) std::memcpy(buffer, w->title.data(), count);
    buffer[count] = '\0';
    return static_cast<int>(count);
  }

  int GetWindowTextLength(Hwnd hwnd) override {
    const Window* w = Find(hwnd);
    return w == nullptr ? 0 : static_cast<int>(w->title.size());
  }

  std::int32_t GetWindowLong(Hwnd hwnd, int index) override {
    if (index != kGwlStyle) return 0;
    if (hwnd == kDesktop) return static_cast<std::int32_t>(kDesktopStyle);
    return Find(hwnd) == nullptr ? 0
                                 : static_cast<std::int32_t>(kTopLevelStyle);
  }

  void SendSetText(Hwnd hwnd, std::string_view text) override {
    Window* w = Find(hwnd);
    // An empty text carries nothing; leaving it out also keeps a zero-length
    // read on the viewer's side meaning "the service has gone".
    if (w == nullptr || text.empty()) return;
    if (w->state == State::kBroken || w->state == State::kRefused) return;
    const std::int64_t deadline =
        MonotonicUs() + (w->hung ? 0 : deadline_us_);
    if (w->state == State::kIdle && !Open(*w, deadline)) return;
    Deliver(*w, text, deadline);
  }

  bool AttachViewer(Hwnd hwnd) override {
    Window* w = Find(hwnd);
    if (w == nullptr) return false;
    if (w->state == State::kIdle) Open(*w, MonotonicUs());
    return w->state == State::kOpen;
  }

 private:
  enum class State {
    kIdle,     // not connected (yet)
    kOpen,     // connected to a viewer we accept
    kBroken,   // the viewer closed the connection; texts go nowhere
    kRefused,  // the endpoint belongs to another user; never used
  };

  struct Window {
    std::string title;
    State state = State::kIdle;
    int fd = -1;
    bool hung = false;
  };

  Window* Find(Hwnd hwnd) {
    if (hwnd < kFirstWindow || hwnd - kFirstWindow >= windows_.size()) {
      return nullptr;
    }
    return &windows_[hwnd - kFirstWindow];
  }

  Hwnd HandleFor(const std::string& title) {
    auto it = by_title_.find(title);
    if (it != by_title_.end()) return it->second;
    const Hwnd hwnd = kFirstWindow + static_cast<Hwnd>(windows_.size());
    windows_.push_back(Window{title});
    by_title_.emplace(title, hwnd);
    return hwnd;
  }

  void TakeSnapshot() {
    snapshot_.clear();
    for (const std::string& title : ListListeningEndpoints()) {
      snapshot_.push_back(HandleFor(title));
    }
  }

  bool Open(Window& w, std::int64_t deadline) {
    switch (Connect(w.title, deadline, &w.fd)) {
      case ConnectResult::kConnected:
        w.state = State::kOpen;
        return true;
      case ConnectResult::kRefused:
        w.state = State::kRefused;
        return false;
      case ConnectResult::kTimedOut:
        w.hung = true;
        return false;
      case ConnectResult::kFailed:
        return false;  // nobody listens under that title now
    }
    return false;
  }

  // One message, complete or not at all (SOCK_SEQPACKET keeps boundaries).
  void Deliver(Window& w, std::string_view text, std::int64_t deadline) {
    for (;;) {
      if (::send(w.fd, text.data(), text.size(),
                 MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
        w.hung = false;
        return;
      }
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        const std::int64_t remaining = deadline - MonotonicUs();
        if (remaining <= 0) {
          w.hung = true;
          return;
        }
        // Whatever poll says, the next send tells what happened.
        pollfd p{w.fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>((remaining + 999) / 1000));
        continue;
      }
      // Too large for the socket's buffer: this text only is lost.
      if (err == EMSGSIZE || err == ENOBUFS || err == ENOMEM) return;
      // EPIPE, ECONNRESET and the like: the viewer has gone.
      ::close(w.fd);
      w.fd = -1;
      w.state = State::kBroken;
      return;
    }
  }

  const std::int64_t deadline_us_;
  std::vector<Window> windows_;  // windows_[i] has the handle i + 2
  std::unordered_map<std::string, Hwnd> by_title_;
  std::vector<Hwnd> snapshot_;
};

}  // namespace

std::unique_ptr<WindowSystem> NewSocketWindowSystem(int send_deadline_ms) {
  return std::make_unique<SocketWindows>(send_deadline_ms);
}

WindowSystem& Windows() {
  // Never destroyed: a trace line sent while the process ends must still
  // find the object. The kernel closes the connections at exit.
  static WindowSystem* const windows = NewSocketWindowSystem().release();
  return *windows;
}

}  // namespace qs::platform::posix
