// Starts a recording, saving every frame too, through the library's exported functions
// and returns from main with the run still going: the library ends it at exit.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "capture/native_screen_encoder.h"
#include "mirrax_platform/log_sink.h"
#include "rpc/rpc_server.h"

int main() {
    std::mutex mutex;
    std::condition_variable written;
    int samples = 0;
    mirrax::platform::SetLogSink([&](const mirrax::platform::LogLine &line) {
        if (line.text.find("WriteSample success!") != std::string::npos) {
            std::lock_guard<std::mutex> lock(mutex);
            ++samples;
            written.notify_all();
        }
    });
    OHOS::DelayedSingleton<RpcServer>::GetInstance()->parse_params(
        {{"-m", "1"}, {"-s", "1"}, {"-scale", "4"}});
    NativeStartScreenCopy();
    bool recorded = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        recorded = written.wait_for(lock, std::chrono::seconds(20), [&] { return samples >= 10; });
    }
    mirrax::platform::SetLogSink({});  // standard error again: the sink above goes with main
    return recorded ? 0 : 2;
}
