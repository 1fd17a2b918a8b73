#pragma once

#include <deque>
#include <mutex>

// A mutex-guarded list of pointers used as a frame queue between threads and as a
// frame server's client list. It never owns what it points to: ownership passes in on
// AddTail and out on RemoveHead/Remove. Each operation is atomic on its own; sequences
// of them are not. Any thread.
template <typename T>
class CSyncPtrList {
  public:
    int AddTail(T* p) {
        std::lock_guard lock(mutex_);
        list_.push_back(p);
        return 1;
    }

    T* RemoveHead() {
        std::lock_guard lock(mutex_);
        if (list_.empty())
            return nullptr;
        T* p = list_.front();
        list_.pop_front();
        return p;
    }

    int GetCount() const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(list_.size());
    }

    T* GetAt(int i) const {
        std::lock_guard lock(mutex_);
        if (i < 0 || static_cast<size_t>(i) >= list_.size())
            return nullptr;
        return list_[static_cast<size_t>(i)];
    }

    // Unlinks the first entry equal to `p`; 1 if one was found.
    int Remove(T* p) {
        std::lock_guard lock(mutex_);
        for (auto it = list_.begin(); it != list_.end(); ++it) {
            if (*it == p) {
                list_.erase(it);
                return 1;
            }
        }
        return 0;
    }

  private:
    mutable std::mutex mutex_;  // guards list_
    std::deque<T*> list_;
};
