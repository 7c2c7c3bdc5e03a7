// OHOS::DelayedSingleton: a lazily created, process-wide object held by shared_ptr.
#ifndef UTILS_BASE_SINGLETON_H
#define UTILS_BASE_SINGLETON_H

#include <memory>
#include <mutex>
#include <new>

#include "nocopyable.h"

namespace OHOS {

template <typename T>
class DelayedSingleton : public NoCopyable {
public:
    // Creates the object on first use. The unlocked first test loads the pointer
    // atomically, so a concurrent creator is never observed half-done.
    static std::shared_ptr<T> GetInstance();
    static void DestroyInstance();

private:
    static std::shared_ptr<T> instance_;
    static std::mutex mutex_;
};

template <typename T>
std::shared_ptr<T> DelayedSingleton<T>::instance_ = nullptr;

template <typename T>
std::mutex DelayedSingleton<T>::mutex_;

template <typename T>
std::shared_ptr<T> DelayedSingleton<T>::GetInstance() {
    if (std::shared_ptr<T> existing = std::atomic_load(&instance_)) {
        return existing;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::atomic_load(&instance_) == nullptr) {
        std::shared_ptr<T> created(new (std::nothrow) T());
        std::atomic_store(&instance_, created);
    }
    return std::atomic_load(&instance_);
}

template <typename T>
void DelayedSingleton<T>::DestroyInstance() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::atomic_store(&instance_, std::shared_ptr<T>());
}

#define DECLARE_DELAYED_SINGLETON(MyClass) \
public:                                    \
    ~MyClass();                            \
                                           \
private:                                   \
    friend DelayedSingleton<MyClass>;      \
    MyClass();

}  // namespace OHOS

#endif  // UTILS_BASE_SINGLETON_H
