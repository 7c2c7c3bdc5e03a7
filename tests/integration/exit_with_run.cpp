// Starts a recording, saving every frame too, through the library's exported functions
// and returns from main with the run still going once a line comes on standard input:
// the library ends the run at exit.
#include <iostream>
#include <string>

#include "capture/native_screen_encoder.h"
#include "rpc/rpc_server.h"

int main() {
    OHOS::DelayedSingleton<RpcServer>::GetInstance()->parse_params(
        {{"-m", "1"}, {"-s", "1"}, {"-scale", "4"}});
    NativeStartScreenCopy();
    std::string line;
    std::getline(std::cin, line);
    return 0;
}
