// The trace transport on POSIX.
//
// A trace viewer is a listening Unix SOCK_SEQPACKET socket in the abstract
// namespace whose name is the viewer's title ("Ravelin" or "Ravelin - ...").
// The service finds viewers by reading the kernel's socket table
// (/proc/net/unix) and sends each text as one message on a connection to the
// viewer. The sending side is the WindowSystem of windows_posix.cc; the
// receiving side is TraceListener, shared by quillon-trace and the tests.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qs::platform::posix {

// The longest title an abstract socket name can hold (sun_path less the
// leading NUL).
inline constexpr std::size_t kMaxEndpointTitle = 107;

// True when `title` can be a viewer's name and be read back from the socket
// table unchanged: 1 to kMaxEndpointTitle bytes, no NUL and no line feed
// (the table shows a NUL as '@' and ends its rows with line feeds).
bool IsValidEndpointTitle(std::string_view title);

// The titles of the listening SOCK_SEQPACKET sockets in the abstract
// namespace, in the order of the table given in the format of /proc/net/unix.
// Each title appears once.
std::vector<std::string> ParseListeningEndpoints(std::string_view table);

// The same for the live table of this network namespace; empty when the table
// cannot be read.
std::vector<std::string> ListListeningEndpoints();

// Whether the other end of the connected socket `fd` runs as this
// process's user or as root: the only peers either side talks to. Its user
// goes to `uid` when given.
bool PeerIsTrusted(int fd, uid_t* uid = nullptr);

// The longest a text waits for a viewer that takes nothing (see
// windows_posix.cc).
inline constexpr int kSendDeadlineMs = 1000;

// A WindowSystem of its own (own handle table, own connections) whose texts
// wait at most `send_deadline_ms`. Windows() returns one such object for the
// whole process; tests make fresh ones so that the state of one test cannot
// leak into the next, and a viewer that hangs costs them less time.
std::unique_ptr<WindowSystem> NewSocketWindowSystem(
    int send_deadline_ms = kSendDeadlineMs);

// The viewer side: one listening socket and the connections it accepted,
// of this process's user and of root only.
class TraceListener {
 public:
  enum class Event { kMessage, kTimeout, kWake, kError, kRefused };

  TraceListener() = default;
  ~TraceListener();
  TraceListener(const TraceListener&) = delete;
  TraceListener& operator=(const TraceListener&) = delete;

  // Binds the abstract name `title` and listens. On failure returns false
  // and error() holds the errno value: EADDRINUSE when another viewer holds
  // the title, EINVAL for a title IsValidEndpointTitle rejects.
  bool Listen(const std::string& title);

  // Waits up to `timeout_ms` (-1: no limit) for the next message of any
  // connection and stores its bytes in `message`, accepting new connections
  // on the way. Connections the peer closed are dropped. Returns kWake when
  // `wake_fd` (if not -1) became readable, kRefused when a program of a user
  // not refused before was (see refused_users()), kError when not listening
  // or the wait itself failed.
  Event Wait(std::string* message, int timeout_ms, int wake_fd = -1);

  // Wait without a wake descriptor: true with a message, false otherwise.
  bool Receive(std::string* message, int timeout_ms);

  // Closes the listening socket and every connection.
  void Close();

  int fd() const { return fd_; }
  int error() const { return error_; }
  const std::string& title() const { return title_; }
  std::size_t connection_count() const { return peers_.size(); }
  // The users whose programs were refused, in the order of their first.
  const std::vector<uid_t>& refused_users() const { return refused_; }

 private:
  // False when a program of a user not refused before was.
  bool AcceptPending();
  // Reads one message of peers_[index]; false when the connection ended
  // (it is then closed and removed) or held only an empty message.
  bool ReadOne(std::size_t index, short revents, std::string* message);

  int fd_ = -1;
  int spare_ = -1;  // a descriptor kept in reserve for running out of them
  int error_ = 0;
  std::string title_;
  std::vector<int> peers_;
  std::vector<uid_t> refused_;
  std::size_t next_peer_ = 0;  // fairness: where the next scan starts
};

}  // namespace qs::platform::posix
