// Line commands on standard input that drive the platform while the server runs:
// the synthetic screen's controls for demos and tests, and the fault switch for
// tests. Enabled with "--control stdin".
#ifndef MIRRAX_TOOLS_HOST_HOST_CONTROL_H
#define MIRRAX_TOOLS_HOST_HOST_CONTROL_H

#include <string>
#include <thread>

namespace mirrax::host {

// Executes one command line; returns the reply ("ok ..." or "error: ...").
//   still on|off          freeze or animate the synthetic screen
//   rotate                swap the synthetic screen's width and height
//   resize W H            give the synthetic screen a new size
//   fault CALL CODE [N]   the next N calls (default 1) of platform CALL return CODE
//   clear-faults          disarm every fault
std::string ExecuteControl(const std::string &line);

// Reads commands from a file descriptor on a named thread and answers each on
// standard error as "control: REPLY". Stops at end of input or when destroyed.
class ControlReader {
public:
    explicit ControlReader(int fd);
    ~ControlReader();
    ControlReader(const ControlReader &) = delete;
    ControlReader &operator=(const ControlReader &) = delete;

private:
    void Loop();

    int fd_;
    int wake_[2] = {-1, -1};  // a pipe that ends the reader's poll
    std::thread thread_;
};

}  // namespace mirrax::host

#endif  // MIRRAX_TOOLS_HOST_HOST_CONTROL_H
