// The leak checker's suppressions (tests/lsan.supp) name only allocations
// that Qt and the system libraries make once per process. A leak made by our
// own code while Qt dispatches an event must still be reported: this test
// runs a small program that drops an allocation from a timer's handler and
// reads the checker's report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "support/RunProgram.h"

#if defined(__SANITIZE_ADDRESS__)
#define PARCELO_LEAK_CHECKER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PARCELO_LEAK_CHECKER 1
#endif
#endif

namespace fs = std::filesystem;

namespace {

// Runs the probe with the given suppressions; standard error (where the
// report goes) is collected with standard output.
[[maybe_unused]] ProgramResult RunProbe(const std::string& mode, const std::string& suppressions)
{
    ::setenv("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0", 1);
    ::setenv("LSAN_OPTIONS", ("suppressions=" + suppressions + ":print_suppressions=0").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" 2>&1", LEAK_PROBE, mode});
}

[[maybe_unused]] bool ReportsLeak(const ProgramResult& r)
{
    return r.out.find("LeakSanitizer: detected memory leaks") != std::string::npos;
}

} // namespace

TEST(LeakChecker, ReportsOurLeakUnderQtDispatchDespiteTheSuppressions)
{
#ifndef PARCELO_LEAK_CHECKER
    GTEST_SKIP() << "built without AddressSanitizer (configure with -DPARCELO_SANITIZE=ON)";
#else
    const std::string suppressions = PARCELO_TESTS_DIR "/lsan.supp";
    ASSERT_TRUE(fs::is_regular_file(suppressions)) << suppressions;

    // Nothing dropped: whatever Qt keeps for the process is not reported.
    const ProgramResult clean = RunProbe("clean", suppressions);
    EXPECT_EQ(clean.status, 0) << clean.out;
    EXPECT_FALSE(ReportsLeak(clean)) << clean.out;

    // The dropped block is reported, and the report names where it was made.
    const ProgramResult leak = RunProbe("leak", suppressions);
    EXPECT_NE(leak.status, 0) << leak.out;
    EXPECT_TRUE(ReportsLeak(leak)) << leak.out;
    EXPECT_NE(leak.out.find("AllocateUnderDispatch"), std::string::npos) << leak.out;

    // The block's stack passes through Qt's dispatch: a suppression of the
    // whole Qt core library hides it. So the probe tests what it claims.
    const fs::path dir = fs::temp_directory_path() / ("parcelo-lsan-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string wholeLibrary = (dir / "whole-library.supp").string();
    std::ofstream(wholeLibrary) << "leak:libQt6Core\n";
    const ProgramResult hidden = RunProbe("leak", wholeLibrary);
    fs::remove_all(dir);
    EXPECT_EQ(hidden.status, 0) << hidden.out;
    EXPECT_FALSE(ReportsLeak(hidden)) << hidden.out;
#endif
}
