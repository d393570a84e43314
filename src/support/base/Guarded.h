// Small values shared between the host's threads and the library's link threads, each guarded by
// its own lock so that every reader sees a whole value.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace quillon {

// A string that one thread fills while another polls it.
class GuardedString {
public:
    GuardedString() = default;
    GuardedString(const GuardedString&) = delete;
    GuardedString& operator=(const GuardedString&) = delete;

    GuardedString& operator=(std::string value)
    {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
        return *this;
    }

    // Appends the characters in one step, so a poller sees all of them or none, keeping the string
    // at most limit characters long: what would pass it is dropped.
    void append(const char* text, std::size_t count, std::size_t limit = std::string::npos)
    {
        std::lock_guard lock(mutex_);
        if (value_.size() < limit)
            value_.append(text, std::min(count, limit - value_.size()));
    }

    std::string load() const
    {
        std::lock_guard lock(mutex_);
        return value_;
    }

    std::size_t size() const
    {
        std::lock_guard lock(mutex_);
        return value_.size();
    }

    bool empty() const { return size() == 0; }

private:
    mutable std::mutex mutex_;
    std::string value_;
};

// A callback that may be replaced while other threads invoke it. An invocation runs its own
// reference to the callable, so a replacement never destroys a callback that is still running,
// and the lock is not held while the callback runs.
template <typename Signature>
class GuardedCallback;

template <typename Result, typename... Args>
class GuardedCallback<Result(Args...)> {
public:
    using Function = std::function<Result(Args...)>;

    GuardedCallback() = default;
    GuardedCallback(const GuardedCallback&) = delete;
    GuardedCallback& operator=(const GuardedCallback&) = delete;

    void store(Function function)
    {
        auto replacement = function ? std::make_shared<const Function>(std::move(function)) : nullptr;
        std::lock_guard lock(mutex_);
        function_.swap(replacement);
        // the old callable is released after the lock, outside any invocation that still runs it
    }

    bool empty() const { return snapshot() == nullptr; }

    // Invokes the callback if one is set, dropping its result; returns whether it ran.
    bool invoke(Args... args) const
    {
        auto function = snapshot();
        if (!function)
            return false;
        (*function)(std::forward<Args>(args)...);
        return true;
    }

    // The callback as it is now, to call as often as needed without the lock; null when none is
    // set.
    std::shared_ptr<const Function> snapshot() const
    {
        std::lock_guard lock(mutex_);
        return function_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Function> function_;
};

}  // namespace quillon
