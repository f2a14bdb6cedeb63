// src/python/server_async.cpp: connections served by the asyncio loop that runs their coroutine
// handlers.
//
// A server with coroutine handlers lends each connection to a loop: a private loop thread's under
// serve(), the program's own under serve_async(). The loop watches the socket with add_reader; its
// callback reads and decodes the requests (interpreter released: other workers' loops run meanwhile),
// starts each handler as a task of the loop and, when the task finishes without waiting, writes the
// reply at once: a call then crosses no threads and costs no turn of the loop. A call that waits
// stops the reading until its task is done, so a connection's replies keep the order of its
// requests. After a callback, the loop's other connections with requests waiting (a few of them,
// polled at once) are served too before the loop takes its turn.
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <array>

#include "python/server.h"

namespace velvane::py {

namespace {

constexpr unsigned kBurst = 64;  // requests served in a row before the loop gets its turn
constexpr unsigned kSweepRounds = 4;  // polls of a loop's other connections after a callback served one
constexpr size_t kSweepMost = 16;     // connections on a loop up to which those polls are made

constexpr const char* kSessionCapsule = "velvane.hosted_session";

double monotonic_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

PyObject* session_readable(PyObject* capsule, PyObject*);
PyObject* session_turn(PyObject* capsule, PyObject*);
PyObject* session_idle_check(PyObject* capsule, PyObject*);
PyMethodDef readable_def = method_entry<session_readable>("_velvane_session_readable", METH_NOARGS, nullptr);
PyMethodDef turn_def = method_entry<session_turn>("_velvane_session_turn", METH_NOARGS, nullptr);
PyMethodDef idle_check_def = method_entry<session_idle_check>("_velvane_session_idle_check", METH_NOARGS, nullptr);

}  // namespace

/// One hosted connection on its loop. Owned by a capsule, which the loop's reader callback and a
/// waiting call's delivery keep alive; used on the loop's thread only.
class HostedSession {
 public:
  /// On the loop's thread, attached: serves the connection from now on.
  static void start(std::shared_ptr<const PyDispatcher> dispatcher, std::shared_ptr<LoopQueue> queue,
                    std::unique_ptr<net::LentConnection> connection) {
    auto* session = new HostedSession(std::move(dispatcher), std::move(queue), std::move(connection));
    Ref capsule = Ref::steal(PyCapsule_New(session, kSessionCapsule, [](PyObject* c) {
      delete static_cast<HostedSession*>(PyCapsule_GetPointer(c, kSessionCapsule));
    }));
    if (!capsule) {
      PyErr_Clear();
      delete session;  // the connection closes
      return;
    }
    session->capsule_ = capsule.get();
    session->queue_->sessions.insert(session);
    session->serve();
  }

  ~HostedSession() {
    queue_->sessions.erase(this);
    queue_->hosted.fetch_sub(1, std::memory_order_relaxed);
  }

  /// Reads and answers requests until none is whole, a call waits, the connection ends, or it has
  /// had its burst for this turn of the loop.
  void serve() {
    Ref keep = Ref::borrow(capsule_);
    std::optional<net::Outcome> reply;  // the last answer, written on the way to the next request
    while (!ended_ && !waiting_) {
      // A peer that keeps requests coming (pipelining) gets a turn, not the loop: after a burst the
      // rest waits for the loop's next turn, behind the other connections and tasks ready by then.
      if (served_ >= kBurst) return yield_turn(std::move(reply));
      Step step;
      {
        ReleaseGil nogil;  // once per request: the write, then the read
        step = write_and_read(reply, !reply || !swept());
      }
      reply.reset();
      if (step.rest) return finish(std::move(*step.rest));
      if (step.next.end) return finish(std::move(*step.next.end));
      if (!step.next.payload) return listen(true);
      heard();
      ++served_;
      auto outcome = dispatcher_->answer_on_loop(std::move(step.prepared), std::move(step.next.meta),
                                                 *connection_, queue_, [this] { return deliverer(); });
      if (!outcome) {
        waiting_ = true;
        return listen(false);
      }
      if (outcome->kind == net::Outcome::Kind::Reply) reply = std::move(outcome);
      else if (outcome->kind != net::Outcome::Kind::NoReply) return finish(std::move(*outcome));
    }
  }

  /// Whether this connection leaves its next request, right after a reply, to the poll of the loop's
  /// connections that follows the callback (sweep() below) rather than reading at once: when it
  /// shares its loop with others and no other loop hosts connections. Its peer then rarely has the
  /// next request there the moment the reply went out, and one poll looks at every connection. With
  /// other loops on other threads the read at once usually finds the request, and a poll instead
  /// would hand the interpreter to them and back.
  bool swept() const {
    const size_t n = queue_->sessions.size();
    return n > 1 && n <= kSweepMost && dispatcher_->one_hosting_loop();
  }

  /// The socket became readable: the peer sent something (or left). A connection that had its
  /// burst is served at its own turn, already due, not now: a peer that keeps sending gets one
  /// burst a turn of the loop, whoever calls.
  void readable() {
    if (yielded_) return;
    served_ = 0;
    heard();
    serve();
  }

  /// Its turn after a burst has come.
  void take_turn() {
    yielded_ = false;
    served_ = 0;
    heard();
    serve();
  }

  /// The sweep found bytes waiting (listening() was true): served within this turn's burst.
  void polled() {
    heard();
    serve();
  }

  /// Whether bytes from its peer are what this connection waits for (the reader callback, a poll):
  /// not a call's task, not its next turn.
  bool listening() const { return listening_ && !ended_ && !waiting_ && !yielded_; }
  int fd() const { return connection_->fd(); }
  PyObject* capsule() const { return capsule_; }
  const std::shared_ptr<LoopQueue>& queue() const { return queue_; }

  /// The idle timer fired: ends the connection if the peer has been silent for the whole timeout
  /// while it waited for it; otherwise the timer waits for the rest.
  void idle_check() {
    idle_timer_ = Ref();
    if (ended_ || !listening_ || waiting_) return;  // a call in flight: the wait starts again after it
    const double left = last_heard_ + idle_seconds_ - monotonic_seconds();
    if (left <= 0) return finish(net::Outcome{net::Outcome::Kind::Close, {}, {}});
    arm_idle(left);
  }

  /// Ends the connection's loan with `outcome`; the connection is not touched again.
  void finish(net::Outcome outcome) {
    if (ended_) return;
    Ref keep = Ref::borrow(capsule_);
    ended_ = true;
    listen(false);
    if (idle_timer_) {
      Ref cancelled = Ref::steal(PyObject_CallMethod(idle_timer_.get(), "cancel", nullptr));
      if (!cancelled) PyErr_Clear();
      idle_timer_ = Ref();
    }
    connection_->give_back(std::move(outcome));
    connection_.reset();
    queue_->sessions.erase(this);
  }

 private:
  HostedSession(std::shared_ptr<const PyDispatcher> dispatcher, std::shared_ptr<LoopQueue> queue,
                std::unique_ptr<net::LentConnection> connection)
      : dispatcher_(std::move(dispatcher)),
        queue_(std::move(queue)),
        connection_(std::move(connection)),
        idle_seconds_(std::chrono::duration<double>(connection_->idle_timeout()).count()),
        last_heard_(monotonic_seconds()) {}

  /// The peer was heard from (a request, or readable bytes), or the connection starts waiting for it.
  void heard() {
    if (idle_seconds_ > 0) last_heard_ = monotonic_seconds();
  }

  /// Calls idle_check() in `seconds` on the loop.
  void arm_idle(double seconds) {
    PyObject* loop = queue_->loop;
    Ref callback = loop ? Ref::steal(PyCFunction_New(&idle_check_def, capsule_)) : Ref();
    idle_timer_ = callback ? Ref::steal(PyObject_CallMethod(loop, "call_later", "dO", seconds, callback.get())) : Ref();
    if (!idle_timer_) PyErr_Clear();  // (the connection then stays open, as without a timeout)
  }

  /// Where a waiting call's outcome goes: back to this session, on the loop's thread.
  PyDispatcher::Deliver deliverer() {
    auto ref = std::make_shared<SharedRef>(capsule_);
    return [ref](net::Outcome outcome) {
      auto* self = static_cast<HostedSession*>(PyCapsule_GetPointer(ref->object.get(), kSessionCapsule));
      if (!self) return PyErr_Clear();
      if (self->ended_) return;
      self->waiting_ = false;
      self->served_ = 0;
      self->heard();  // the wait for the peer starts again now
      self->deliver(std::move(outcome));
      self->serve();
    };
  }

  void deliver(net::Outcome outcome) {
    switch (outcome.kind) {
      case net::Outcome::Kind::NoReply:
        break;
      case net::Outcome::Kind::Reply: {
        std::optional<net::Outcome> rest;
        {
          ReleaseGil nogil;
          rest = connection_->write(outcome);
        }
        if (rest) return finish(std::move(*rest));
        break;
      }
      default:
        return finish(std::move(outcome));
    }
  }

  struct Step {
    std::optional<net::Outcome> rest;  // the write failed or left bytes: the loan ends with this
    net::LentConnection::Next next;
    std::variant<PyDispatcher::Call, net::Outcome> prepared;  // next's request, decoded
  };

  /// Interpreter released: writes `reply`, then decodes the next request if it is whole (reading the
  /// socket when `read`); a connection left waiting gives its buffer back.
  Step write_and_read(const std::optional<net::Outcome>& reply, bool read) {
    Step step;
    if (reply && (step.rest = connection_->write(*reply))) return step;
    step.next = connection_->next(read);
    if (!step.next.payload && !step.next.end) connection_->rest();
    if (step.next.payload && !step.next.end) step.prepared = dispatcher_->prepare(*step.next.payload);
    return step;
  }

  /// Writes the last reply, then serves again at the loop's next turn: bytes the connection has
  /// buffered already do not make its socket readable, so the reader callback alone could miss them.
  void yield_turn(std::optional<net::Outcome> reply) {
    if (reply) deliver(std::move(*reply));
    if (ended_) return;
    PyObject* loop = queue_->loop;
    if (!loop) return finish(net::Outcome{net::Outcome::Kind::Close, {}, {}});
    Ref callback = Ref::steal(PyCFunction_New(&turn_def, capsule_));
    Ref handle = callback ? Ref::steal(PyObject_CallMethod(loop, "call_soon", "O", callback.get())) : Ref();
    if (!handle) return finish(net::Outcome::fail(Error{ErrorKind::Internal, take_exception_text()}));
    yielded_ = true;
  }

  /// Watches the socket with the loop (or stops watching it).
  void listen(bool on) {
    if (on == listening_ || (on && ended_)) return;
    PyObject* loop = queue_->loop;
    if (!loop) return;
    if (!on) {
      listening_ = false;
      Ref removed = Ref::steal(PyObject_CallMethod(loop, "remove_reader", "i", connection_->fd()));
      if (!removed) PyErr_Clear();
      return;
    }
    Ref callback = Ref::steal(PyCFunction_New(&readable_def, capsule_));
    Ref added = callback ? Ref::steal(PyObject_CallMethod(loop, "add_reader", "iO", connection_->fd(), callback.get()))
                         : Ref();
    if (!added) return finish(net::Outcome::fail(Error{ErrorKind::Internal, take_exception_text()}));
    listening_ = true;
    if (idle_seconds_ > 0 && !idle_timer_) arm_idle(std::max(0.0, last_heard_ + idle_seconds_ - monotonic_seconds()));
  }

  std::shared_ptr<const PyDispatcher> dispatcher_;
  std::shared_ptr<LoopQueue> queue_;
  std::unique_ptr<net::LentConnection> connection_;
  PyObject* capsule_ = nullptr;  // the owner, borrowed
  double idle_seconds_;          // 0: the peer may stay silent for ever
  double last_heard_;            // monotonic seconds
  Ref idle_timer_;               // the loop's handle while idle_check() is due
  bool listening_ = false;
  bool waiting_ = false;  // a call's task has not finished yet
  bool yielded_ = false;  // take_turn() runs at the loop's next turn
  unsigned served_ = 0;   // requests served since the loop last called on this connection
  bool ended_ = false;
};

namespace {

/// After a callback served its connection: serves the loop's other connections whose requests came
/// meanwhile, for a few rounds, without a turn of the loop. One poll costs less than the loop's
/// select and its callbacks (about a fifth less CPU per call with four busy connections on a loop).
void sweep(LoopQueue& queue) {
  // Alone on its loop, the connection that was just served has nothing more to find; with many, the
  // loop's select serves them better.
  if (queue.sessions.size() <= 1 || queue.sessions.size() > kSweepMost) return;
  for (unsigned round = 0; round < kSweepRounds; ++round) {
    std::array<Ref, kSweepMost> owners;
    std::array<pollfd, kSweepMost> fds;
    size_t count = 0;
    for (HostedSession* s : queue.sessions) {
      if (count == kSweepMost) break;
      if (!s->listening()) continue;
      owners[count] = Ref::borrow(s->capsule());
      fds[count++] = {s->fd(), POLLIN, 0};
    }
    if (count == 0) return;
    int ready = 0;
    {
      ReleaseGil nogil;
      ready = ::poll(fds.data(), count, 0);
    }
    if (ready <= 0) return;
    for (size_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      auto* s = static_cast<HostedSession*>(PyCapsule_GetPointer(owners[i].get(), kSessionCapsule));
      if (!s) return PyErr_Clear();
      if (s->listening()) s->polled();
    }
  }
}

/// A loop callback of a session (`entry`: readable or take_turn), then the sweep.
template <void (HostedSession::*entry)()>
PyObject* session_callback(PyObject* capsule, PyObject*) {
  auto* session = static_cast<HostedSession*>(PyCapsule_GetPointer(capsule, kSessionCapsule));
  if (!session) return nullptr;
  std::shared_ptr<LoopQueue> queue = session->queue();
  (session->*entry)();
  sweep(*queue);
  Py_RETURN_NONE;
}

PyObject* session_readable(PyObject* capsule, PyObject* unused) {
  return session_callback<&HostedSession::readable>(capsule, unused);
}

PyObject* session_turn(PyObject* capsule, PyObject* unused) {
  return session_callback<&HostedSession::take_turn>(capsule, unused);
}

PyObject* session_idle_check(PyObject* capsule, PyObject*) {
  auto* session = static_cast<HostedSession*>(PyCapsule_GetPointer(capsule, kSessionCapsule));
  if (!session) return nullptr;
  session->idle_check();
  Py_RETURN_NONE;
}

}  // namespace

/// A worker's loop serves the connections its worker lends, but which worker lends a connection is
/// chance: three of four connections on one loop halve what the other loop could take on. The
/// connection goes to the loop (among the workers' loops seen so far) that serves the fewest.
std::shared_ptr<LoopQueue> PyDispatcher::least_busy_loop(std::shared_ptr<LoopQueue> own) {
  std::lock_guard lock(loops_mutex_);
  add_loop(own);
  std::shared_ptr<LoopQueue> best = std::move(own);
  for (const auto& weak : loops_) {
    auto queue = weak.lock();
    if (queue && queue->hosted.load(std::memory_order_relaxed) < best->hosted.load(std::memory_order_relaxed))
      best = std::move(queue);
  }
  best->hosted.fetch_add(1, std::memory_order_relaxed);
  return best;
}

void PyDispatcher::add_loop(const std::shared_ptr<LoopQueue>& queue) {
  std::erase_if(loops_, [](const std::weak_ptr<LoopQueue>& q) { return q.expired(); });
  if (std::none_of(loops_.begin(), loops_.end(), [&](const auto& q) { return q.lock() == queue; }))
    loops_.push_back(queue);
  several_loops_.store(loops_.size() > 1, std::memory_order_relaxed);
}

void PyDispatcher::register_loop(const std::shared_ptr<LoopQueue>& queue) {
  std::lock_guard lock(loops_mutex_);
  add_loop(queue);
}

void PyDispatcher::host(std::unique_ptr<net::LentConnection> connection) {
  std::shared_ptr<LoopQueue> queue = app_queue_;
  if (queue) {
    queue->hosted.fetch_add(1, std::memory_order_relaxed);
  } else {
    std::string error;
    if (auto own = current_loop_queue(error)) queue = least_busy_loop(std::move(own));
  }
  auto held = std::make_shared<std::unique_ptr<net::LentConnection>>(std::move(connection));
  if (queue && queue->push([self = shared_from_this(), queue, held] {
        HostedSession::start(self, queue, std::move(*held));
      }))
    return;
  if (queue) queue->hosted.fetch_sub(1, std::memory_order_relaxed);
  // Without a loop the connection is served through dispatch(), whose coroutine calls then fail.
  (*held)->give_back(net::Outcome{net::Outcome::Kind::Idle, {}, {}});
}

std::optional<net::Outcome> PyDispatcher::answer_on_loop(std::variant<Call, net::Outcome> prepared,
                                                         net::RequestMeta meta,
                                                         net::LentConnection& connection,
                                                         const std::shared_ptr<LoopQueue>& queue,
                                                         const MakeDeliver& deliver) const {
  if (auto* outcome = std::get_if<net::Outcome>(&prepared)) return std::move(*outcome);
  Call& prepared_call = std::get<Call>(prepared);
  prepared_call.meta = std::move(meta);
  if (methods_[prepared_call.method].handler->coroutine) return run_coroutine(std::move(prepared_call), deliver);
  auto call = std::make_shared<Call>(std::move(prepared_call));
  const bool submitted = connection.submit([self = shared_from_this(), call, queue, deliver = deliver()] {
    auto outcome = std::make_shared<net::Outcome>();
    {
      Attach attach;
      if (!attach.ok()) return;  // the interpreter is going away
      *outcome = self->call_plain(*call);
    }
    queue->push([deliver, outcome] { deliver(std::move(*outcome)); });
  });
  if (!submitted) return net::Outcome{net::Outcome::Kind::Close, {}, {}};
  return std::nullopt;
}

/// Ends every connection the loop behind `queue` still serves (serve_async(), as it returns).
void end_hosted_sessions(LoopQueue& queue) {
  std::vector<HostedSession*> sessions(queue.sessions.begin(), queue.sessions.end());
  for (HostedSession* s : sessions) s->finish(net::Outcome{net::Outcome::Kind::Close, {}, {}});
}

}  // namespace velvane::py
