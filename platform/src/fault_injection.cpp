#include "mirrax_platform/fault_injection.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace mirrax::platform {
namespace {

struct Fault {
    int64_t code;
    int remaining;  // < 0: until cleared
};

struct FaultTable {
    std::mutex mutex;
    std::map<std::string, Fault, std::less<>> faults;
    std::map<std::string, std::chrono::milliseconds, std::less<>> delays;
    std::atomic<bool> armed{false};  // lets the common no-fault path skip the lock
};

FaultTable &Table() {
    static FaultTable table;
    return table;
}

}  // namespace

void InjectFault(std::string_view call, int64_t code, int times) {
    auto &table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.faults[std::string(call)] = Fault{code, times};
    table.armed.store(true, std::memory_order_release);
}

void InjectDelay(std::string_view call, std::chrono::milliseconds delay) {
    auto &table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.delays[std::string(call)] = delay;
    table.armed.store(true, std::memory_order_release);
}

void ClearFaults() {
    auto &table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.faults.clear();
    table.delays.clear();
    table.armed.store(false, std::memory_order_release);
}

std::optional<int64_t> TakeFault(std::string_view call) {
    auto &table = Table();
    if (!table.armed.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    std::unique_lock<std::mutex> lock(table.mutex);
    if (auto delay = table.delays.find(call); delay != table.delays.end()) {
        const auto wait = delay->second;
        table.delays.erase(delay);
        lock.unlock();
        // A stimulus for tests that need a slow platform call, not a wait for an event.
        std::this_thread::sleep_for(wait);
        lock.lock();
    }
    auto it = table.faults.find(call);
    if (it == table.faults.end()) {
        return std::nullopt;
    }
    int64_t code = it->second.code;
    if (it->second.remaining > 0 && --it->second.remaining == 0) {
        table.faults.erase(it);
    }
    return code;
}

}  // namespace mirrax::platform
