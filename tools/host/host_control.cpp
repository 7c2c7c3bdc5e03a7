#include "host_control.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "mirrax_platform/display_config.h"
#include "mirrax_platform/fault_injection.h"

namespace mirrax::host {

std::string ExecuteControl(const std::string &line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "still") {
        std::string value;
        in >> value;
        if (value != "on" && value != "off") {
            return "error: still needs on or off";
        }
        return platform::SetSyntheticStill(value == "on") ? "ok still " + value
                                                          : "error: the display is not synthetic";
    }
    if (command == "rotate") {
        return platform::RotateSynthetic() ? "ok rotate" : "error: the display is not synthetic";
    }
    if (command == "resize") {
        int width = 0;
        int height = 0;
        if (!(in >> width >> height) || width <= 0 || height <= 0) {
            return "error: resize needs a width and a height";
        }
        return platform::ResizeSynthetic(width, height) ? "ok resize"
                                                        : "error: the display is not synthetic";
    }
    if (command == "fault") {
        std::string call;
        long long code = 0;
        int times = 1;
        if (!(in >> call >> code)) {
            return "error: fault needs a call name and a code";
        }
        in >> times;
        platform::InjectFault(call, code, times);
        return "ok fault " + call;
    }
    if (command == "slow") {
        std::string call;
        long long ms = 0;
        if (!(in >> call >> ms) || ms < 0) {
            return "error: slow needs a call name and milliseconds";
        }
        platform::InjectDelay(call, std::chrono::milliseconds(ms));
        return "ok slow " + call;
    }
    if (command == "clear-faults") {
        platform::ClearFaults();
        return "ok clear-faults";
    }
    return "error: unknown command '" + command + "'";
}

ControlReader::ControlReader(int fd) : fd_(fd) {
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        wake_[0] = wake_[1] = -1;
        return;
    }
    thread_ = std::thread([this] { Loop(); });
}

ControlReader::~ControlReader() {
    if (wake_[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] ssize_t n = write(wake_[1], &byte, 1);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int fd : wake_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void ControlReader::Loop() {
    pthread_setname_np(pthread_self(), "host-control");
    std::string pending;
    char buf[512];
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN) != 0) {
            return;
        }
        const ssize_t n = read(fd_, buf, sizeof(buf));
        if (n <= 0) {
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty()) {
                fprintf(stderr, "control: %s\n", ExecuteControl(line).c_str());
                fflush(stderr);
            }
        }
    }
}

}  // namespace mirrax::host
