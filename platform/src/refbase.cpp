#include "refbase.h"

namespace OHOS {

RefBase::RefBase() : refs_(new RefCounter) { refs_->object = this; }

RefBase::RefBase(const RefBase &) : RefBase() {}

RefBase &RefBase::operator=(const RefBase &) {
    return *this;  // counts belong to the object, never copied
}

RefBase::RefBase(RefBase &&) noexcept : RefBase() {}

RefBase &RefBase::operator=(RefBase &&) noexcept { return *this; }

RefBase::~RefBase() {
    refs_->object = nullptr;
    refs_->DecWeak();
}

void RefBase::RefPtrCallback() { delete this; }

void RefBase::IncStrongRef(const void *objectId) {
    if (refs_->strong.fetch_add(1, std::memory_order_relaxed) == 0) {
        OnFirstStrongRef(objectId);
    }
}

void RefBase::DecStrongRef(const void *objectId) {
    if (refs_->strong.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        OnLastStrongRef(objectId);
        RefPtrCallback();
    }
}

int RefBase::GetSptrRefCount() { return refs_->strong.load(std::memory_order_acquire); }

void RefBase::IncWeakRef(const void *) { refs_->IncWeak(); }

void RefBase::DecWeakRef(const void *) { refs_->DecWeak(); }

int RefBase::GetWptrRefCount() { return refs_->weak.load(std::memory_order_acquire) - 1; }

bool RefBase::AttemptIncStrongRef(const void *) {
    int n = refs_->strong.load(std::memory_order_acquire);
    while (n > 0) {
        if (refs_->strong.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

}  // namespace OHOS
