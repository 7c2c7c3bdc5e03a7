// The extension entry points the UI-test host calls.
#include <sys/prctl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/mirrax_log.h"
#include "rpc/rpc_server.h"

namespace {
constexpr const char *kLogFile = "mirrax_server_so";
constexpr const char *kBanner = "Welcome to orvindo mirrax so!";
constexpr const char *kVersion = "5.10-20260114";
constexpr const char *kProcessName = "orvindo_mirrax";
}  // namespace

extern "C" MIRRAX_EXPORT int32_t UiTestExtension_OnInit(void * /*host*/, uint64_t argc,
                                                        char **argv) {
    MIRRAX_LOG_LABEL(kLogFile);
    MIRRAX_LOGI("%{public}s %{public}s", kBanner);
    MIRRAX_LOGI("%{public}s verison: %{public}s", kVersion);
    if (prctl(PR_SET_NAME, kProcessName) == -1) {
        MIRRAX_LOGE("%{public}s Failed to set process name");
        return 1;
    }
    MIRRAX_LOGI("%{public}s Process name set to: %{public}s", kProcessName);
    MIRRAX_LOGI("%{public}s RpcServer::GetInstance()->InitServer(), argc: %{public}d",
                static_cast<int32_t>(argc));
    if (argc < 2) {
        MIRRAX_LOGE("%{public}s Start error, invalid parma.");
        return -1;
    }
    OptionPairs pairs;
    for (uint64_t i = 0; i + 1 < argc; ++i) {
        MIRRAX_LOGI("%{public}s argv: %{public}s", argv[i]);
        pairs.emplace_back(argv[i], argv[i + 1]);
    }
    {
        std::shared_ptr<RpcServer> server = OHOS::DelayedSingleton<RpcServer>::GetInstance();
        server->InitServer(pairs);
    }
    return 0;
}

extern "C" MIRRAX_EXPORT int32_t UiTestExtension_OnRun() { return 0; }
