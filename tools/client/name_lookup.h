// A host name resolved off the caller's thread, so that the caller can give up on it at
// its own deadline or at once when asked to: a plain getaddrinfo returns only when the
// resolver's own timeouts (5 s per server and try by default) have run out.
#ifndef MIRRAX_TOOLS_CLIENT_NAME_LOOKUP_H
#define MIRRAX_TOOLS_CLIENT_NAME_LOOKUP_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace mirrax::client {

class NameLookup {
public:
    // Starts resolving `host` for sockets of `socketType` (SOCK_STREAM, SOCK_DGRAM)
    // through glibc's getaddrinfo_a, whose own thread calls back when it is done. Null
    // with a reason when the lookup could not be started.
    static std::shared_ptr<NameLookup> Start(const std::string &host, int socketType,
                                             std::string *error);
    // Abandons a lookup still running: glibc finishes it and the last reference, held
    // by its completion callback, frees it.
    ~NameLookup();
    NameLookup(const NameLookup &) = delete;
    NameLookup &operator=(const NameLookup &) = delete;

    // Waits until the lookup has ended, `deadline` has passed or Interrupt was called.
    // The numeric addresses in the resolver's order; none, with a reason, otherwise.
    std::vector<std::string> Wait(std::chrono::steady_clock::time_point deadline,
                                  std::string *error);
    // Ends a Wait at once (any thread).
    void Interrupt();

    struct Request;

private:
    explicit NameLookup(std::shared_ptr<Request> request);

    std::shared_ptr<Request> request_;
};

// True when `host` is a numeric IPv4 or IPv6 address: nothing to look up.
bool IsNumericHost(const std::string &host);

}  // namespace mirrax::client

#endif  // MIRRAX_TOOLS_CLIENT_NAME_LOOKUP_H
