#include "support/private_mount.h"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace mirrax::test {

namespace {

std::string UnshareMounts() {
    if (unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare(CLONE_NEWNS): ") + strerror(errno);
    }
    // Keep the mounts that follow from propagating back into the machine's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("make / private: ") + strerror(errno);
    }
    return {};
}

}  // namespace

std::string MountPrivateTmpfs(const std::string &dir, size_t bytes, bool readOnly) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        return "create " + dir + ": " + ec.message();
    }
    if (std::string whyNot = UnshareMounts(); !whyNot.empty()) {
        return whyNot;
    }
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    const unsigned long flags = readOnly ? MS_RDONLY : 0;
    if (mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) != 0) {
        return "mount tmpfs on " + dir + ": " + strerror(errno);
    }
    return {};
}

std::string MountPrivateFile(const std::string &file, const std::string &target) {
    if (std::string whyNot = UnshareMounts(); !whyNot.empty()) {
        return whyNot;
    }
    if (mount(file.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return "bind " + file + " over " + target + ": " + strerror(errno);
    }
    return {};
}

}  // namespace mirrax::test
