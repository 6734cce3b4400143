// One entry per key ever used: a flag, a condition variable and the memo,
// which outlives the turns (an entry is a few dozen bytes).
#include "turns.hpp"

#include <condition_variable>
#include <map>
#include <mutex>

#include "process.hpp"

namespace termloom {

struct TurnEntry {
    bool taken = false;
    std::condition_variable free;
    std::string memo;
};

namespace {

// The host's interrupt check runs at least this often while a turn is awaited.
constexpr auto kCheckInterval = std::chrono::milliseconds(150);

std::mutex entries_mutex;
std::map<std::string, std::shared_ptr<TurnEntry>>& entries() {
    static auto* map = new std::map<std::string, std::shared_ptr<TurnEntry>>;  // outlives exit
    return *map;
}

}  // namespace

Turn::~Turn() {
    if (!entry_) return;
    std::lock_guard lock(entries_mutex);
    entry_->taken = false;
    entry_->free.notify_one();
    entry_.reset();
}

std::string& Turn::memo() { return entry_->memo; }

Result<std::optional<Turn>> take_turn(const std::string& key,
                                      std::optional<WaitClock::time_point> deadline) {
    std::unique_lock lock(entries_mutex);
    auto& kept = entries()[key];
    if (!kept) kept = std::make_shared<TurnEntry>();
    auto entry = kept;
    while (entry->taken) {
        auto until = WaitClock::now() + kCheckInterval;
        if (deadline && *deadline < until) until = *deadline;
        entry->free.wait_until(lock, until);
        if (!entry->taken) break;
        const bool late = deadline && WaitClock::now() >= *deadline;
        bool stop = false;
        if (!late) {
            lock.unlock();  // the check may take the host's own locks
            stop = host_wants_to_stop();
            lock.lock();
            if (!entry->taken) break;
        }
        if (late || stop) {
            if (stop) return interrupted();
            return std::optional<Turn>();
        }
    }
    entry->taken = true;
    return std::optional<Turn>(Turn(std::move(entry)));
}

}  // namespace termloom
