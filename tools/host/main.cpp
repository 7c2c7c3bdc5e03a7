// mirrax_host: the stand-in for the UI-test host. It configures the platform (log
// destination, display source), loads libmirrax_server.so with dlopen, and calls its
// entry points with the remaining arguments. SIGINT/SIGTERM shut the server down.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host_control.h"
#include "host_options.h"
#include "mirrax_platform/log_sink.h"

namespace {

using OnInitFn = int32_t (*)(void *, uint64_t, char **);
using OnRunFn = int32_t (*)();

// The server object is a C++ class of the library. Its singleton accessor and
// StopServer are exported under their Itanium-mangled names; a non-virtual member
// function takes `this` as its first argument.
class RpcServer;
using GetInstanceFn = std::shared_ptr<RpcServer> (*)();
using StopServerFn = void (*)(RpcServer *);
constexpr const char *kGetInstanceSymbol = "_ZN4OHOS16DelayedSingletonI9RpcServerE11GetInstanceEv";
constexpr const char *kStopServerSymbol = "_ZN9RpcServer10StopServerEv";

// The library pairs adjacent arguments; a leading program name and verb form pairs
// it ignores, so the launch options may follow in any number (also none).
constexpr const char *kHostVerb = "start-extension";

constexpr const char *kDeviceTmp = "/data/local/tmp";

int Fail(const std::string &message, int status) {
    fprintf(stderr, "mirrax_host: %s\n", message.c_str());
    return status;
}

// Waits for SIGINT/SIGTERM on its own thread; SIGUSR1 ends the wait without a stop.
class SignalWatcher {
public:
    SignalWatcher(sigset_t set, StopServerFn stop, GetInstanceFn instance)
        : set_(set), stop_(stop), instance_(instance), thread_([this] { Watch(); }) {}
    ~SignalWatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    bool Signalled() const { return signalled_; }

private:
    void Watch() {
        pthread_setname_np(pthread_self(), "host-signals");
        int sig = 0;
        while (sigwait(&set_, &sig) == 0) {
            if (sig == SIGUSR1) {
                return;
            }
            if (!signalled_) {
                signalled_ = true;
                std::shared_ptr<RpcServer> server = instance_();
                if (server) {
                    stop_(server.get());
                }
            }
        }
    }

    sigset_t set_;
    StopServerFn stop_;
    GetInstanceFn instance_;
    std::atomic<bool> signalled_{false};
    std::thread thread_;
};

// The library records to and saves frames under the device's "/data/local/tmp".
void PrepareDeviceDirectory() {
    std::error_code ec;
    std::filesystem::create_directories(kDeviceTmp, ec);
    if (ec) {
        fprintf(stderr,
                "mirrax_host: cannot create %s (%s): recording (-m 1) and frame saving (-s 1) "
                "will fail\n",
                kDeviceTmp, ec.message().c_str());
    }
}

}  // namespace

int main(int argc, char **argv) {
    mirrax::host::HostOptions options;
    std::string error;
    if (!mirrax::host::ParseHostOptions(argc, argv, &options, &error)) {
        return Fail(error + " (see --help)", 2);
    }
    if (options.help) {
        mirrax::host::PrintUsage(stdout);
        return 0;
    }
    // Block the stop signals before any thread exists (the display source starts its
    // own), so every thread inherits the mask and only the watcher receives them.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    if (!options.logFile.empty() && !mirrax::platform::SetLogFile(options.logFile)) {
        return Fail("cannot open log file " + options.logFile + ": " + strerror(errno), 2);
    }
    if (!mirrax::host::ApplyPlatformOptions(options, &error)) {
        return Fail(error, 2);
    }

    // The library stays loaded until the process exits: its gRPC threads and static
    // objects may outlive the server.
    void *library = dlopen(options.library.c_str(), RTLD_NOW);
    if (!library && options.library.find('/') == std::string::npos) {
        // Not on the search path (an instrumented dlopen may ignore our run path):
        // try the lib/ directory beside the one this program lives in.
        std::error_code ec;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
        const auto beside = self.parent_path().parent_path() / "lib" / options.library;
        if (!ec && std::filesystem::exists(beside, ec)) {
            library = dlopen(beside.c_str(), RTLD_NOW);
        }
    }
    if (!library) {
        return Fail(std::string("cannot load library: ") + dlerror(), 1);
    }
    auto onInit = reinterpret_cast<OnInitFn>(dlsym(library, "UiTestExtension_OnInit"));
    auto onRun = reinterpret_cast<OnRunFn>(dlsym(library, "UiTestExtension_OnRun"));
    auto getInstance = reinterpret_cast<GetInstanceFn>(dlsym(library, kGetInstanceSymbol));
    auto stopServer = reinterpret_cast<StopServerFn>(dlsym(library, kStopServerSymbol));
    if (onInit == nullptr || onRun == nullptr || getInstance == nullptr || stopServer == nullptr) {
        return Fail("library " + options.library + " lacks the extension entry points", 1);
    }

    std::vector<std::string> args = {argv[0], kHostVerb};
    args.insert(args.end(), options.libraryArgs.begin(), options.libraryArgs.end());
    std::vector<char *> cargs;
    for (auto &arg : args) {
        cargs.push_back(arg.data());
    }
    cargs.push_back(nullptr);

    PrepareDeviceDirectory();

    int32_t result = 0;
    bool signalled = false;
    {
        SignalWatcher watcher(set, stopServer, getInstance);
        std::unique_ptr<mirrax::host::ControlReader> control;
        if (options.controlStdin) {
            control = std::make_unique<mirrax::host::ControlReader>(STDIN_FILENO);
        }
        result = onInit(nullptr, static_cast<uint64_t>(args.size()), cargs.data());
        onRun();
        signalled = watcher.Signalled();
    }
    if (result != 0) {
        return Fail("UiTestExtension_OnInit returned " + std::to_string(result), 1);
    }
    if (!signalled) {
        // The server only ends on a stop request; an early return means it never
        // served (for example the port was taken). The log says why.
        return Fail("the server ended without a stop request (see the log)", 1);
    }
    return 0;
}
