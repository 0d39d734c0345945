#pragma once

namespace tobble::dispatch {

class Queue;

// The queue-specific key: which queue the calling thread is running a task of, if any.
// Both dispatcher implementations set it around every task they run.
class CurrentQueue {
  public:
    static const Queue* get() { return current_; }

    // Marks `queue` as current for the lifetime of the scope, restoring the previous one after.
    class Scope {
      public:
        explicit Scope(const Queue* queue) : previous_(current_) { current_ = queue; }
        ~Scope() { current_ = previous_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        const Queue* previous_;
    };

  private:
    static inline thread_local const Queue* current_ = nullptr;
};

}  // namespace tobble::dispatch
