// mirrax_host: the stand-in for the UI-test host. It configures the platform (log
// destination, display source), opens libmirrax_server.so with dlopen, and calls its
// entry points with the remaining arguments. SIGINT/SIGTERM shut the server down.
#include <dlfcn.h>
#include <link.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_control.h"
#include "host_options.h"
#include "mirrax_platform/log_sink.h"
#include "open_file_limit.h"
#include "rpc/rpc_server.h"
#include "signal_watcher.h"

namespace {

using OnInitFn = int32_t (*)(void *, uint64_t, char **);
using OnRunFn = int32_t (*)();

// The library pairs adjacent arguments; a leading program name and verb form pairs
// it ignores, so the launch options may follow in any number (also none).
constexpr const char *kHostVerb = "start-extension";

constexpr const char *kDeviceTmp = "/data/local/tmp";

int Fail(const std::string &message, int status) {
    fprintf(stderr, "mirrax_host: %s\n", message.c_str());
    return status;
}

// Ends the process at once: a clean shutdown is under way and the user asked again.
// One write, so the line reaches standard error whole.
[[noreturn]] void ExitAtOnce(int sig) {
    char line[128];
    const int n = snprintf(line, sizeof(line),
                           "mirrax_host: second %s, exiting at once without a clean shutdown\n",
                           sig == SIGINT ? "SIGINT" : "SIGTERM");
    if (n > 0) {
        [[maybe_unused]] const ssize_t written =
            write(STDERR_FILENO, line, std::min(static_cast<size_t>(n), sizeof(line) - 1));
    }
    _exit(128 + sig);
}

// Answers SIGINT/SIGTERM on the watcher's thread ("host-signals"). The first one runs
// RpcServer::StopServer on a second thread ("host-stop"), so that the watcher goes on
// answering signals while the server shuts down: another stop signal before the host
// has finished ends the process at once. The signals must be blocked in every thread
// (mirrax::tools::BlockStopSignals).
class StopOnSignal {
public:
    explicit StopOnSignal(const sigset_t &set)
        : watcher_("host-signals", set, [this](int sig) { OnStopSignal(sig); }) {}
    ~StopOnSignal() { Close(); }
    StopOnSignal(const StopOnSignal &) = delete;
    StopOnSignal &operator=(const StopOnSignal &) = delete;

    // Lets a stop under way finish (the watcher still answers signals meanwhile), then
    // ends the watcher and joins both threads. A stop signal after that is ignored: the
    // server has ended and the host is on its way out. Called by the owner only.
    void Close() {
        {
            std::unique_lock lock(mutex_);
            stopFinished_.wait(lock, [this] { return !stopRunning_; });
            closing_ = true;
        }
        watcher_.Close();
        if (stopper_.joinable()) {
            stopper_.join();
        }
    }

    // Final once Close has returned.
    bool StopRequested() const {
        std::lock_guard lock(mutex_);
        return stopRequested_;
    }

private:
    void OnStopSignal(int sig) {
        std::lock_guard lock(mutex_);
        if (closing_) {
            return;
        }
        if (stopRequested_) {
            ExitAtOnce(sig);
        }
        stopRequested_ = true;
        // Two signals that arrived together (a double Ctrl-C, or both queued while the
        // process was stopped) are a second signal as well, whatever the scheduling.
        if (const int second = mirrax::tools::TakePendingStopSignal(); second != 0) {
            ExitAtOnce(second);
        }
        stopRunning_ = true;
        stopper_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "host-stop");
            OHOS::DelayedSingleton<RpcServer>::GetInstance()->StopServer();
            {
                std::lock_guard done(mutex_);
                stopRunning_ = false;
            }
            stopFinished_.notify_all();
        });
    }

    mutable std::mutex mutex_;
    std::condition_variable stopFinished_;
    bool stopRequested_ = false;  // guarded by mutex_
    bool stopRunning_ = false;    // guarded by mutex_
    bool closing_ = false;        // guarded by mutex_
    std::thread stopper_;         // started by the watcher under mutex_, joined by the owner
    mirrax::tools::SignalWatcher watcher_;  // last: starts once the members above exist
};

// True when both paths name one existing file (links followed).
bool SameFile(const std::string &a, const std::string &b) {
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

// Opens the extension library with dlopen. It must be the libmirrax_server.so this
// program is linked with (already loaded, so nothing is loaded here): the host stops
// the server through that copy, and a second copy of the library would hold a server
// object of its own that the stop never reaches. Null with a message otherwise.
void *OpenExtension(const std::string &library, std::string *error) {
    void *linked = dlopen(MIRRAX_SERVER_SONAME, RTLD_NOW | RTLD_NOLOAD);
    void *opened = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (linked != nullptr && opened == linked) {
        dlclose(linked);  // both references are to the same, linked, object
        return opened;
    }
    std::string linkedPath = MIRRAX_SERVER_SONAME;
    link_map *map = nullptr;
    if (linked != nullptr && dlinfo(linked, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
        linkedPath = map->l_name;
    }
    // The loader does not always match a name by the file it names (ThreadSanitizer's
    // dlopen does not for a link such as libmirrax_server.so): the same file, named as a
    // path or found beside the linked library, is the linked library too.
    if (linked != nullptr && opened == nullptr &&
        SameFile(library.find('/') != std::string::npos
                     ? library
                     : (std::filesystem::path(linkedPath).parent_path() / library).string(),
                 linkedPath)) {
        return linked;
    }
    std::error_code ec;
    if (library.find('/') != std::string::npos && !std::filesystem::exists(library, ec)) {
        *error = "cannot load library " + library + ": no such file";
    } else {
        *error = "library " + library + " is not " + linkedPath +
                 ", the extension library this host is linked with (a second copy would run "
                 "a server that the host cannot stop)";
    }
    for (void *handle : {linked, opened}) {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    return nullptr;
}

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

// The shared libraries' initialisers (gRPC, abseil, FFmpeg: about 90 ms) run before
// main. Blocking the stop signals from the executable's pre-initialisers, which run
// before them, lets a SIGTERM in that time wait for the signal thread instead of
// killing the host; main blocks them again, as a no-op.
void BlockStopSignalsBeforeLibraries(int, char **, char **) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
}
__attribute__((section(".preinit_array"),
               used)) void (*const kBlockStopSignals)(int, char **,
                                                      char **) = BlockStopSignalsBeforeLibraries;

// The allocator is set up before any thread exists: glibc reads the arena limit once,
// when a thread first needs an arena of its own. By default every thread that finds
// the arenas locked gets one, up to eight per core, and memory freed in an arena stays
// with it; and once a large block is freed, blocks up to that size come from the
// arenas instead of being mapped on their own. A burst of concurrent starts runs on
// dozens of gRPC handler threads, each leaving the encoder pictures of the runs it
// started (megabytes each) in its arena: the idle host grew by hundreds of MB. Two
// arenas, and blocks of 1 MB and more always mapped on their own (and unmapped when
// freed), keep it near its idle size. Settings made in the environment are kept.
void TuneAllocatorBeforeLibraries(int, char **, char **) {
#ifdef __GLIBC__
    if (getenv("GLIBC_TUNABLES") != nullptr) {
        return;
    }
    if (getenv("MALLOC_ARENA_MAX") == nullptr) {
        mallopt(M_ARENA_MAX, 2);
    }
    if (getenv("MALLOC_MMAP_THRESHOLD_") == nullptr) {
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
    }
#endif
}
__attribute__((section(".preinit_array"),
               used)) void (*const kTuneAllocator)(int, char **,
                                                   char **) = TuneAllocatorBeforeLibraries;

}  // namespace

int main(int argc, char **argv) {
    // Block the stop signals before any thread exists (the display source starts its
    // own), so every thread inherits the mask and only the watcher receives them; one
    // that arrives before the watcher runs waits for it.
    const sigset_t set = mirrax::tools::BlockStopSignals();
    // gRPC stops accepting connections for good once it runs out of descriptors, so
    // the host takes all the descriptors it may have.
    std::string limitFailure;
    mirrax::tools::RaiseOpenFileLimit(&limitFailure);
    if (!limitFailure.empty()) {
        fprintf(stderr, "mirrax_host: %s\n", limitFailure.c_str());
    }

    mirrax::host::HostOptions options;
    std::string error;
    if (!mirrax::host::ParseHostOptions(argc, argv, &options, &error)) {
        return Fail(error + " (see --help)", 2);
    }
    if (options.help) {
        mirrax::host::PrintUsage(stdout);
        return 0;
    }
    if (!options.logFile.empty() && !mirrax::platform::SetLogFile(options.logFile)) {
        return Fail("cannot open log file " + options.logFile + ": " + strerror(errno), 2);
    }
    if (!mirrax::host::ApplyPlatformOptions(options, &error)) {
        return Fail(error, 2);
    }

    // The library stays loaded until the process exits: it is linked in.
    void *library = OpenExtension(options.library, &error);
    if (library == nullptr) {
        return Fail(error, 1);
    }
    auto onInit = reinterpret_cast<OnInitFn>(dlsym(library, "UiTestExtension_OnInit"));
    auto onRun = reinterpret_cast<OnRunFn>(dlsym(library, "UiTestExtension_OnRun"));
    if (onInit == nullptr || onRun == nullptr) {
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
        StopOnSignal watcher(set);
        std::unique_ptr<mirrax::host::ControlReader> control;
        if (options.controlStdin) {
            control = std::make_unique<mirrax::host::ControlReader>(STDIN_FILENO);
        }
        result = onInit(nullptr, static_cast<uint64_t>(args.size()), cargs.data());
        onRun();
        control.reset();
        watcher.Close();
        signalled = watcher.StopRequested();
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
