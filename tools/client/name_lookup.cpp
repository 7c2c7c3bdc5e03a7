#include "name_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace mirrax::client {

// Shared by the owner and glibc's completion callback; glibc writes into `block` until
// the callback runs.
struct NameLookup::Request {
    ~Request() {
        if (block.ar_result != nullptr) {
            freeaddrinfo(block.ar_result);
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;     // the callback ran: `block` holds the answer
    bool interrupted = false;  // Interrupt was called
    std::string host;
    addrinfo hints{};
    gaicb block{};
    // The callback's own reference, handed to glibc; the owner deletes it only when
    // gai_cancel took the request back before it ran (no callback then).
    std::shared_ptr<Request> *callbackReference = nullptr;
};

namespace {

void Finished(sigval value) {
    // Runs on a thread of glibc's, with every signal blocked.
    std::unique_ptr<std::shared_ptr<NameLookup::Request>> reference(
        static_cast<std::shared_ptr<NameLookup::Request> *>(value.sival_ptr));
    NameLookup::Request &request = **reference;
    {
        std::lock_guard lock(request.mutex);
        request.finished = true;
    }
    request.changed.notify_all();
}

}  // namespace

std::shared_ptr<NameLookup> NameLookup::Start(const std::string &host, int socketType,
                                              std::string *error) {
    auto request = std::make_shared<Request>();
    request->host = host;
    request->hints.ai_socktype = socketType;
    request->hints.ai_flags = AI_ADDRCONFIG;
    request->block.ar_name = request->host.c_str();
    request->block.ar_request = &request->hints;
    request->callbackReference = new std::shared_ptr<Request>(request);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD;
    event.sigev_notify_function = &Finished;
    event.sigev_value.sival_ptr = request->callbackReference;
    gaicb *list[] = {&request->block};
    const int rc = getaddrinfo_a(GAI_NOWAIT, list, 1, &event);
    if (rc != 0) {
        delete request->callbackReference;
        *error = gai_strerror(rc);
        return nullptr;
    }
    return std::shared_ptr<NameLookup>(new NameLookup(std::move(request)));
}

NameLookup::NameLookup(std::shared_ptr<Request> request) : request_(std::move(request)) {}

NameLookup::~NameLookup() {
    bool finished = false;
    {
        std::lock_guard lock(request_->mutex);
        finished = request_->finished;
    }
    // Still queued: taken back, and no callback will run. Running or done: the
    // callback runs (or ran) and drops its reference.
    if (!finished && gai_cancel(&request_->block) == EAI_CANCELED) {
        delete request_->callbackReference;
    }
}

std::vector<std::string> NameLookup::Wait(std::chrono::steady_clock::time_point deadline,
                                          std::string *error) {
    std::unique_lock lock(request_->mutex);
    request_->changed.wait_until(lock, deadline,
                                 [this] { return request_->finished || request_->interrupted; });
    if (!request_->finished) {
        *error = request_->interrupted
                     ? "interrupted"
                     : "no answer from the name server in time for " + request_->host;
        return {};
    }
    const int rc = gai_error(&request_->block);
    if (rc != 0) {
        *error = "cannot resolve " + request_->host + ": " + gai_strerror(rc);
        return {};
    }
    std::vector<std::string> addresses;
    for (const addrinfo *ai = request_->block.ar_result; ai != nullptr; ai = ai->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof(text), nullptr, 0,
                        NI_NUMERICHOST) == 0 &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end()) {
            addresses.emplace_back(text);
        }
    }
    if (addresses.empty()) {
        *error = "cannot resolve " + request_->host + ": no address";
    }
    return addresses;
}

void NameLookup::Interrupt() {
    {
        std::lock_guard lock(request_->mutex);
        request_->interrupted = true;
    }
    request_->changed.notify_all();
}

bool IsNumericHost(const std::string &host) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), address) == 1;
}

}  // namespace mirrax::client
