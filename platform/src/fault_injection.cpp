#include "mirrax_platform/fault_injection.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>

namespace mirrax::platform {
namespace {

struct Fault {
    int64_t code;
    int remaining;  // < 0: until cleared
};

struct FaultTable {
    std::mutex mutex;
    std::map<std::string, Fault, std::less<>> faults;
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

void ClearFaults() {
    auto &table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.faults.clear();
    table.armed.store(false, std::memory_order_release);
}

std::optional<int64_t> TakeFault(std::string_view call) {
    auto &table = Table();
    if (!table.armed.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> lock(table.mutex);
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
