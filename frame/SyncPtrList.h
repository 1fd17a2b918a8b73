#pragma once

#include <deque>
#include <mutex>
#include <utility>

// A mutex-guarded list used as a frame queue between threads (of CPoolBlock owners) and
// as a frame server's client list (of plain pointers). Ownership of an element passes in
// on AddTail and out on RemoveHead. Each operation is atomic on its own; sequences of them
// are not. Any thread.
template <typename T>
class CSyncList {
  public:
    int AddTail(T item) {
        std::lock_guard lock(mutex_);
        list_.push_back(std::move(item));
        return 1;
    }

    // The head, or a default-constructed T (null, an empty block) when the list is empty.
    T RemoveHead() {
        std::lock_guard lock(mutex_);
        if (list_.empty())
            return T{};
        T item = std::move(list_.front());
        list_.pop_front();
        return item;
    }

    int GetCount() const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(list_.size());
    }

    // Copyable elements only: element i, or a default-constructed T out of range.
    T GetAt(int i) const {
        std::lock_guard lock(mutex_);
        if (i < 0 || static_cast<size_t>(i) >= list_.size())
            return T{};
        return list_[static_cast<size_t>(i)];
    }

    // Unlinks the first entry for which `match` holds and returns it (a default T if none).
    template <typename Match>
    T RemoveFirst(Match match) {
        std::lock_guard lock(mutex_);
        for (auto it = list_.begin(); it != list_.end(); ++it) {
            if (match(*it)) {
                T item = std::move(*it);
                list_.erase(it);
                return item;
            }
        }
        return T{};
    }

    // Unlinks the first entry equal to `item`; 1 if one was found.
    int Remove(const T& item) {
        return RemoveFirst([&](const T& e) { return e == item; }) ? 1 : 0;
    }

  private:
    mutable std::mutex mutex_;  // guards list_
    std::deque<T> list_;
};

// The pointer list of the frame servers: it never owns what it points to.
template <typename T>
using CSyncPtrList = CSyncList<T*>;
