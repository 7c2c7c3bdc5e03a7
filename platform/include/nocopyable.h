#ifndef UTILS_BASE_NOCOPYABLE_H
#define UTILS_BASE_NOCOPYABLE_H

namespace OHOS {

#define DISALLOW_COPY_AND_MOVE(className)             \
    className(const className &) = delete;            \
    className &operator=(const className &) = delete; \
    className(className &&) = delete;                 \
    className &operator=(className &&) = delete

class NoCopyable {
protected:
    NoCopyable() {}
    virtual ~NoCopyable() {}

private:
    DISALLOW_COPY_AND_MOVE(NoCopyable);
};

}  // namespace OHOS

#endif  // UTILS_BASE_NOCOPYABLE_H
