// The waits between attempts to reach a peer that went away: the view's host, a media
// server that is published to.
#ifndef MIRRAX_TOOLS_CLIENT_RETRY_BACKOFF_H
#define MIRRAX_TOOLS_CLIENT_RETRY_BACKOFF_H

#include <algorithm>
#include <chrono>

namespace mirrax::client {

// The first wait is `first`; each one after it twice the one before, up to `longest`.
class RetryBackoff {
public:
    RetryBackoff(std::chrono::milliseconds first, std::chrono::milliseconds longest)
        : first_(first), longest_(longest), next_(first) {}

    // The wait before the next attempt.
    std::chrono::milliseconds Next() {
        const auto wait = next_;
        next_ = std::min(next_ * 2, longest_);
        return wait;
    }
    // The peer was reached: the next wait is the first again.
    void Reset() { next_ = first_; }

private:
    const std::chrono::milliseconds first_;
    const std::chrono::milliseconds longest_;
    std::chrono::milliseconds next_;
};

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_RETRY_BACKOFF_H
