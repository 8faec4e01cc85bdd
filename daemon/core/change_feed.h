// The change feed: the values a watcher of the board is told about (input levels, the
// link switches and states, the card's recovery state) are posted here by whoever changes
// them, and handed to one sink, the control server's watch stream. Producers know nothing
// of watchers; with no sink a post costs one atomic load.
//
// The sink runs on the posting thread, often with that module's own lock held, so it
// must be quick and take only locks of its own.
#pragma once

#include <atomic>

enum change_kind : int {
    CHANGE_INPUT,          // id: the input id; value: the level
    CHANGE_SWITCH,         // id: 0 4G, 1 WiFi; value: the switch
    CHANGE_LINK_STATE,     // id: 0 4G, 1 WiFi; value: the link_state
    CHANGE_LINK_ATTEMPTS,  // id: 1 WiFi; value: its recovery attempts
    CHANGE_CARD_STATE,     // id: 0; value: the recovery state
};

using change_sink = void (*)(int kind, int id, int value);

// The sink stays for the life of the process once set (a null one stops the posts).
void change_feed_set_sink(change_sink sink);
void change_post(int kind, int id, int value);

// An atomic whose every write is also posted: swapped in for a std::atomic at its
// declaration, it keeps every reader and writer of the field as it was.
template <class T>
class fed_atomic {
public:
    constexpr fed_atomic(T initial, int kind, int id) noexcept : value_(initial), kind_(kind), id_(id) {}
    fed_atomic(const fed_atomic &) = delete;
    fed_atomic &operator=(const fed_atomic &) = delete;

    T load(std::memory_order order = std::memory_order_seq_cst) const noexcept { return value_.load(order); }
    operator T() const noexcept { return load(); }

    void store(T value) noexcept
    {
        value_.store(value);
        post(value);
    }
    T operator=(T value) noexcept
    {
        store(value);
        return value;
    }
    T exchange(T value) noexcept
    {
        T old = value_.exchange(value);
        post(value);
        return old;
    }
    bool compare_exchange_strong(T &expected, T desired) noexcept
    {
        if (!value_.compare_exchange_strong(expected, desired))
            return false;
        post(desired);
        return true;
    }
    T operator++() noexcept
    {
        T now = static_cast<T>(value_.fetch_add(1) + 1);
        post(now);
        return now;
    }
    T operator++(int) noexcept
    {
        T old = value_.fetch_add(1);
        post(static_cast<T>(old + 1));
        return old;
    }

private:
    void post(T value) const noexcept { change_post(kind_, id_, static_cast<int>(value)); }

    std::atomic<T> value_;
    const int kind_;
    const int id_;
};
