// Registries of the opaque handles handed out through the C API, so a call with a
// destroyed or foreign handle is recognised and refused instead of dereferenced.
#ifndef MIRRAX_PLATFORM_MEDIA_HANDLE_REGISTRY_H
#define MIRRAX_PLATFORM_MEDIA_HANDLE_REGISTRY_H

#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace mirrax::media {

// Handles that are plain objects owned by the caller (formats, memories).
template <typename Handle>
class HandleSet {
public:
    void Add(const Handle *handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        live_.insert(handle);
    }
    // False when the handle was not live (destroyed twice, never created).
    bool Remove(const Handle *handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.erase(handle) == 1;
    }
    bool Contains(const Handle *handle) const {
        if (handle == nullptr) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        return live_.count(handle) == 1;
    }

private:
    mutable std::mutex mutex_;
    std::unordered_set<const Handle *> live_;
};

// Handles backed by a shared implementation object: a lookup returns a strong
// reference, so the object outlives every call that is running on it even when
// another thread destroys the handle meanwhile.
template <typename Handle, typename Impl>
class HandleMap {
public:
    void Add(const Handle *handle, std::shared_ptr<Impl> impl) {
        std::lock_guard<std::mutex> lock(mutex_);
        live_[handle] = std::move(impl);
    }
    std::shared_ptr<Impl> Find(const Handle *handle) const {
        if (handle == nullptr) {
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = live_.find(handle);
        return it == live_.end() ? nullptr : it->second;
    }
    // Takes the handle out of the registry and returns its object (null if not live).
    std::shared_ptr<Impl> Remove(const Handle *handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = live_.find(handle);
        if (it == live_.end()) {
            return nullptr;
        }
        auto impl = std::move(it->second);
        live_.erase(it);
        return impl;
    }

private:
    mutable std::mutex mutex_;
    std::unordered_map<const Handle *, std::shared_ptr<Impl>> live_;
};

}  // namespace mirrax::media

#endif  // MIRRAX_PLATFORM_MEDIA_HANDLE_REGISTRY_H
