// The exported entry points: symbol table and argument checks.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>

#include "support/child_process.h"
#include "support/log_capture.h"

extern "C" int32_t UiTestExtension_OnInit(void *, uint64_t, char **);
extern "C" int32_t UiTestExtension_OnRun();

namespace {

TEST(EntrySymbols, EntryPointsUnmangledAndInternalsHidden) {
    void *library = dlopen(mirrax::test::BuildPath("lib/libmirrax_server.so").c_str(), RTLD_NOW);
    ASSERT_NE(library, nullptr) << dlerror();
    EXPECT_NE(dlsym(library, "UiTestExtension_OnInit"), nullptr);
    EXPECT_NE(dlsym(library, "UiTestExtension_OnRun"), nullptr);
    EXPECT_NE(dlsym(library, "_ZN9RpcServer10StopServerEv"), nullptr);
    // Generated message code and helpers stay inside the library.
    EXPECT_EQ(dlsym(library, "_ZN12ReplyMessageC2Ev"), nullptr);
    EXPECT_EQ(dlsym(library, "_ZN12ReplyMessageC1Ev"), nullptr);
}

struct FewArgsCase {
    const char *name;
    std::vector<const char *> args;
};

void PrintTo(const FewArgsCase &c, std::ostream *os) { *os << c.name; }

class FewArguments : public ::testing::TestWithParam<FewArgsCase> {};

TEST_P(FewArguments, ReturnMinusOneWithoutServer) {
    mirrax::test::LogCapture capture;
    std::vector<char *> argv;
    for (const char *a : GetParam().args) {
        argv.push_back(const_cast<char *>(a));
    }
    argv.push_back(nullptr);
    EXPECT_EQ(UiTestExtension_OnInit(nullptr, GetParam().args.size(), argv.data()), -1);
    EXPECT_EQ(capture.Count("Start error, invalid parma.", LOG_ERROR), 1u);
    EXPECT_EQ(capture.Count("argc: " + std::to_string(GetParam().args.size()), LOG_INFO), 1u);
    EXPECT_EQ(capture.Count("argv:"), 0u);
    EXPECT_EQ(capture.Count("Server Listening"), 0u);
    EXPECT_EQ(capture.Count("Finish parse params."), 0u);
    EXPECT_EQ(UiTestExtension_OnRun(), 0);
}

INSTANTIATE_TEST_SUITE_P(Entry, FewArguments,
                         ::testing::Values(FewArgsCase{"None", {}}, FewArgsCase{"One", {"-p"}}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
