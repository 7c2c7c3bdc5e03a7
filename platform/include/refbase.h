// OHOS::RefBase, sptr and wptr: intrusive reference counting with the c_utils names.
#ifndef UTILS_BASE_REFBASE_H
#define UTILS_BASE_REFBASE_H

#include <atomic>
#include <utility>

namespace OHOS {

// Shared counters of one object. The strong count owns the object; the weak count
// owns this block (the object itself holds one weak reference while it lives).
class RefCounter {
public:
    std::atomic<int> strong{0};
    std::atomic<int> weak{1};
    void *object = nullptr;

    void IncWeak() { weak.fetch_add(1, std::memory_order_relaxed); }
    void DecWeak() {
        if (weak.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
};

class RefBase {
public:
    RefBase();
    RefBase(const RefBase &);
    RefBase &operator=(const RefBase &);
    RefBase(RefBase &&) noexcept;
    RefBase &operator=(RefBase &&) noexcept;
    virtual ~RefBase();

    // Called when the last strong reference goes; deletes the object by default.
    virtual void RefPtrCallback();

    void IncStrongRef(const void *objectId);
    void DecStrongRef(const void *objectId);
    int GetSptrRefCount();

    void IncWeakRef(const void *objectId);
    void DecWeakRef(const void *objectId);
    int GetWptrRefCount();

    // Takes a strong reference only while the object still has one.
    bool AttemptIncStrongRef(const void *objectId);

    RefCounter *GetRefCounter() const { return refs_; }

    virtual void OnFirstStrongRef(const void *) {}
    virtual void OnLastStrongRef(const void *) {}
    virtual void OnLastWeakRef(const void *) {}

private:
    RefCounter *refs_ = nullptr;
};

template <typename T>
class wptr;

template <typename T>
class sptr {
public:
    sptr() = default;
    sptr(T *other)
        : refs_(other)  // NOLINT(google-explicit-constructor): SDK semantics
    {
        if (refs_ != nullptr) {
            refs_->IncStrongRef(this);
        }
    }
    sptr(const sptr<T> &other) : sptr(other.refs_) {}
    sptr(sptr<T> &&other) noexcept : refs_(std::exchange(other.refs_, nullptr)) {}
    template <typename O>
    sptr(const sptr<O> &other)
        : sptr(other.GetRefPtr())  // NOLINT(google-explicit-constructor)
    {}
    // Adopts a strong reference already taken (used by wptr::promote).
    struct AdoptTag {};
    sptr(T *adopted, AdoptTag) : refs_(adopted) {}
    ~sptr() {
        if (refs_ != nullptr) {
            refs_->DecStrongRef(this);
        }
    }

    template <typename... Args>
    static sptr<T> MakeSptr(Args &&...args) {
        return sptr<T>(new T(std::forward<Args>(args)...));
    }

    sptr<T> &operator=(T *other) {
        sptr<T> tmp(other);
        std::swap(refs_, tmp.refs_);
        return *this;
    }
    sptr<T> &operator=(const sptr<T> &other) { return *this = other.refs_; }
    sptr<T> &operator=(sptr<T> &&other) noexcept {
        sptr<T> tmp(std::move(other));
        std::swap(refs_, tmp.refs_);
        return *this;
    }
    template <typename O>
    sptr<T> &operator=(const sptr<O> &other) {
        return *this = other.GetRefPtr();
    }

    T *GetRefPtr() const { return refs_; }
    void clear() { *this = nullptr; }
    operator T *() const { return refs_; }  // NOLINT(google-explicit-constructor)
    explicit operator bool() const { return refs_ != nullptr; }
    T &operator*() const { return *refs_; }
    T *operator->() const { return refs_; }
    bool operator==(const T *other) const { return refs_ == other; }
    bool operator!=(const T *other) const { return refs_ != other; }
    bool operator==(const sptr<T> &other) const { return refs_ == other.refs_; }
    bool operator!=(const sptr<T> &other) const { return refs_ != other.refs_; }

private:
    T *refs_ = nullptr;
};

template <typename T>
class wptr {
public:
    wptr() = default;
    wptr(T *other) { Attach(other); }  // NOLINT(google-explicit-constructor)
    wptr(const sptr<T> &other) { Attach(other.GetRefPtr()); }  // NOLINT
    wptr(const wptr<T> &other) : object_(other.object_), refs_(other.refs_) {
        if (refs_ != nullptr) {
            refs_->IncWeak();
        }
    }
    wptr &operator=(const wptr<T> &other) {
        wptr<T> tmp(other);
        std::swap(object_, tmp.object_);
        std::swap(refs_, tmp.refs_);
        return *this;
    }
    ~wptr() {
        if (refs_ != nullptr) {
            refs_->DecWeak();
        }
    }

    // A strong reference, or null once the object is gone.
    const sptr<T> promote() const {
        if (refs_ == nullptr || object_ == nullptr) {
            return sptr<T>();
        }
        int n = refs_->strong.load(std::memory_order_acquire);
        while (n > 0) {
            if (refs_->strong.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) {
                return sptr<T>(object_, typename sptr<T>::AdoptTag{});
            }
        }
        return sptr<T>();
    }
    T *GetRefPtr() const { return object_; }

private:
    void Attach(T *other) {
        object_ = other;
        if (other != nullptr) {
            refs_ = other->GetRefCounter();
            refs_->IncWeak();
        }
    }
    T *object_ = nullptr;
    RefCounter *refs_ = nullptr;
};

}  // namespace OHOS

#endif  // UTILS_BASE_REFBASE_H
