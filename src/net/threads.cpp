// src/net/threads.cpp: named threads with a set stack, started with every signal blocked.
#include "net/threads.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "net/console.h"

namespace velvane::net {

bool polling_pays() {
  static const bool pays = [] {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return false;
    return CPU_COUNT(&set) > 1;
  }();
  return pays;
}

size_t effective_workers(size_t workers) {
  if (workers != 0) return workers;
  return std::max<size_t>(2, std::thread::hardware_concurrency());
}

namespace {

struct ThreadStart {
  std::string name;
  std::function<void()> body;
};

void* thread_main(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  try {
    start->body();
  } catch (...) {
    print_line(2, "thread " + start->name + " ended: " + current_exception_error().text + "\n");
  }
  return nullptr;
}

Result<pthread_t> start_thread(const char* name, size_t stack_size, std::function<void()> body) {
  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  if (stack_size != 0) ::pthread_attr_setstacksize(&attr, stack_size);
  auto start = std::make_unique<ThreadStart>(ThreadStart{name, std::move(body)});
  const std::string short_name = start->name.substr(0, 15);  // what Linux keeps of a thread's name
  // The new thread inherits a mask with every signal blocked: signals are the main thread's.
  sigset_t all, old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t handle;
  const int rc = ::pthread_create(&handle, &attr, thread_main, start.get());
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) return Error{ErrorKind::Os, std::error_code(rc, std::system_category()).message()};
  start.release();  // the thread owns it now
  ::pthread_setname_np(handle, short_name.c_str());  // named before anyone can look for it
  return handle;
}

}  // namespace

Status spawn_detached(const char* name, size_t stack_size, std::function<void()> body) {
  auto handle = start_thread(name, stack_size, std::move(body));
  if (!handle) return handle.take_error();
  ::pthread_detach(handle.value());
  return {};
}

Result<Thread> Thread::spawn(const char* name, size_t stack_size, std::function<void()> body) {
  auto handle = start_thread(name, stack_size, std::move(body));
  if (!handle) return handle.take_error();
  Thread t;
  t.handle_ = handle.value();
  t.started_ = true;
  return t;
}

Thread::Thread(Thread&& o) noexcept : handle_(o.handle_), started_(std::exchange(o.started_, false)) {}

Thread& Thread::operator=(Thread&& o) noexcept {
  if (this != &o) {
    detach();
    handle_ = o.handle_;
    started_ = std::exchange(o.started_, false);
  }
  return *this;
}

Thread::~Thread() { detach(); }

void Thread::join() {
  if (std::exchange(started_, false)) ::pthread_join(handle_, nullptr);
}

void Thread::detach() {
  if (std::exchange(started_, false)) ::pthread_detach(handle_);
}

}  // namespace velvane::net
