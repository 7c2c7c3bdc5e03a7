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

TEST(FewArguments, ReturnMinusOneWithoutServer) {
    for (std::vector<const char *> args : {std::vector<const char *>{}, {"-p"}}) {
        mirrax::test::LogCapture capture;
        const size_t argc = args.size();
        args.push_back(nullptr);
        EXPECT_EQ(UiTestExtension_OnInit(nullptr, argc, const_cast<char **>(args.data())), -1);
        EXPECT_EQ(capture.Count("Start error, invalid parma.", LOG_ERROR), 1u);
        EXPECT_EQ(capture.Count("argc: " + std::to_string(argc), LOG_INFO), 1u);
        EXPECT_EQ(capture.Count("argv:"), 0u);
        EXPECT_EQ(capture.Count("Server Listening"), 0u);
        EXPECT_EQ(capture.Count("Finish parse params."), 0u);
        EXPECT_EQ(UiTestExtension_OnRun(), 0);
    }
}

}  // namespace
