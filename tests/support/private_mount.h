// A file system of the test's own over a directory, seen only by the test process and
// the children it starts afterwards: a small tmpfs to fill up, or a read-only one.
#ifndef MIRRAX_TESTS_SUPPORT_PRIVATE_MOUNT_H
#define MIRRAX_TESTS_SUPPORT_PRIVATE_MOUNT_H

#include <cstddef>
#include <string>

namespace mirrax::test {

// Moves the calling thread into a mount namespace of its own (children forked from it
// inherit it) and mounts a tmpfs of `bytes` over `dir`, created if missing. Returns an
// empty text on success, otherwise why it could not (for example, no privilege).
std::string MountPrivateTmpfs(const std::string &dir, size_t bytes, bool readOnly);

// The same namespace with `file` bind-mounted over `target`, for example a resolver
// configuration of the test's own over /etc/resolv.conf.
std::string MountPrivateFile(const std::string &file, const std::string &target);

}  // namespace mirrax::test

// In a GoogleTest body: mounts the private tmpfs over `dir` or skips the test, saying why.
#define MIRRAX_USE_PRIVATE_TMPFS(dir, bytes, readOnly)                                      \
    do {                                                                                    \
        const std::string whyNot = ::mirrax::test::MountPrivateTmpfs(dir, bytes, readOnly); \
        if (!whyNot.empty()) {                                                              \
            GTEST_SKIP() << "needs a private mount: " << whyNot;                            \
        }                                                                                   \
    } while (0)

#endif  // MIRRAX_TESTS_SUPPORT_PRIVATE_MOUNT_H
