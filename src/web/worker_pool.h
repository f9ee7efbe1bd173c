#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace larkspire {

// A fixed number of threads running jobs from a bounded queue, so no load makes more
// threads or an unbounded backlog. Any thread may submit; the destructor (or Stop) lets the
// running jobs finish, drops the queued ones and joins the threads.
class WorkerPool {
 public:
  WorkerPool(size_t threads, size_t queueLimit);
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool() { Stop(); }

  // False when the queue is full or the pool stopped; the job was not taken.
  bool TrySubmit(std::function<void()> job);
  void Stop();

 private:
  void Work();

  size_t queueLimit_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace larkspire
