// src/net/async_client.h: the connection of an asyncio client, worked on by a process-wide
// multi-threaded Asio runtime.
//
// A ConnectionCell holds at most one connection behind an asynchronous lock. Operations (connect,
// close, one call's write-then-read) are started from any thread, run on the runtime's threads and
// report once, through their completion handler. Each holds the cell, so it finishes even when its
// starter has forgotten the cell. The runtime starts with the first cell and is never torn down: its
// threads may outlive everything else in the process.
//
// A completion handler runs on the thread that finished the operation, with none of the cell's locks
// held: usually a runtime thread, but also the starter's, inside open/close/call or cancel (a call
// that finds no connection, a reply that came back before its sender returned, a call cancelled
// while in line). Keep it short: it delays whatever that thread does next.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "framing/framing.h"
#include "model/error.h"
#include "net/endpoints.h"
#include "net/retry.h"

namespace velvane::net {

class TlsContext;

struct Completion {
  enum class Kind : uint8_t {
    Done,       // the call's reply (empty for a oneway call), or nothing for open and close
    NotOpen,    // a call found no connection
    Failed,     // `error`; a call that failed once its request started going out dropped the connection
    Cancelled,  // cancel() stopped it; a call stopped between its first write and its whole reply
                // dropped the connection
  };
  Kind kind = Kind::Done;
  std::string reply;
  Error error;
  // For a call that ended holding the lock: how many operations were in line behind it. They keep
  // the connection busy without any help from whoever waits for this report.
  size_t in_line = 0;
  bool connecting = false;  // a call's `error` came from connecting again (its text names the address)
  bool written = false;     // some of a call's request went out (on its last attempt)
};

using CompletionHandler = std::function<void(Completion)>;

/// Where a call that finds its connection dropped connects again: on its first attempt when its
/// client asks to reconnect, and on every repeat its retry policy allows.
struct Redial {
  std::shared_ptr<EndpointSet> endpoints;
  bool reconnect = false;
};

/// How long an operation's network work may take once it holds the connection (connecting, for
/// open); none waits as long as the operating system lets it.
using Timeout = std::optional<std::chrono::nanoseconds>;

struct Operation;

/// Lets the starter stop an operation; does nothing once it has finished.
class OperationHandle {
 public:
  OperationHandle() = default;
  explicit OperationHandle(std::weak_ptr<Operation> op) : op_(std::move(op)) {}
  /// Safe from any thread. An operation still waiting for the lock leaves without touching the
  /// connection; one in the middle of its network work is interrupted at once.
  void cancel() const;

 private:
  std::weak_ptr<Operation> op_;
};

/// Runs its callback on a runtime thread once the delay given to the first arm() since the last run
/// has passed. Safe from any thread. Dropping the timer cancels a run not yet started.
class WakeTimer {
 public:
  static Result<std::shared_ptr<WakeTimer>> create(std::function<void()> fire);
  ~WakeTimer();
  WakeTimer(const WakeTimer&) = delete;
  WakeTimer& operator=(const WakeTimer&) = delete;

  /// Does nothing while a run is already due.
  void arm(std::chrono::nanoseconds delay);

  struct Impl;
  explicit WakeTimer(std::shared_ptr<Impl> impl);

 private:
  std::shared_ptr<Impl> impl_;
};

class ConnectionCell : public std::enable_shared_from_this<ConnectionCell> {
 public:
  /// A cell without a connection; starts the shared runtime on first use.
  static Result<std::shared_ptr<ConnectionCell>> create();
  ~ConnectionCell();
  ConnectionCell(const ConnectionCell&) = delete;
  ConnectionCell& operator=(const ConnectionCell&) = delete;

  /// Never waits: true while an operation holds the lock, else whether a connection is present.
  bool is_open() const;
  /// Never waits: the operations holding or waiting for the lock, as seen a moment ago.
  size_t load() const;
  /// Counts the cell as opened without connecting: calls that redial connect when they need to.
  void connect_on_demand();
  /// Connections made from now on (open, redial) begin with a TLS handshake under `tls` (none: plaintext);
  /// a refused one fails the connect with the reason.
  void set_tls(std::shared_ptr<const TlsContext> tls);

  /// Resolves and connects without the lock, trying the endpoints in the order their set plans, then
  /// swaps the new connection in under it. A failure leaves the old connection in place; its error
  /// names the endpoint tried last ("connect to HOST:PORT: ...") and carries the system's text.
  OperationHandle open(std::shared_ptr<EndpointSet> endpoints, Timeout timeout, CompletionHandler done);
  /// Drops the connection, if any, under the lock.
  OperationHandle close(CompletionHandler done);
  /// Writes `request` and, unless oneway, reads one reply, all under the lock. A failure once the
  /// request started going out, and a reply that says the peer ended the connection, drop it. A
  /// reply larger than `max_size` bytes (0: no limit) fails before its body is kept.
  /// With `redial`, a call that finds the connection dropped (not closed) connects again first,
  /// holding the lock, so the calls in line behind it use the new connection. A failure `retry`
  /// allows is repeated after its delay, the call going to the back of the line.
  /// Over Transport::Http the request is POSTed to `http_path`, and a oneway call reads its (empty)
  /// response too; a response that says the server closes the connection drops it after the call.
  OperationHandle call(std::string request, framing::Transport transport, Protocol protocol, bool oneway,
                       Timeout timeout, CompletionHandler done, size_t max_size = 0,
                       std::optional<Redial> redial = std::nullopt, RetryPolicy retry = {},
                       std::string_view http_path = "/");

  struct Impl;
  explicit ConnectionCell(std::unique_ptr<Impl> impl);
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velvane::net
