// Options, the millisecond clock and the debug log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "shell/log.h"
#include "shell/sys.h"

namespace {

void Parse(std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("tarmis_server")};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Sys_ParseOptions(static_cast<int>(argv.size() - 1), argv.data());
}

}  // namespace

TEST(Options, EveryRefusedArgumentEndsWithExitCodeOneAndNothingOnTheErrorStream) {
    const std::vector<std::vector<std::string>> refused = {{"x"}, {"xp", "1025"}, {"-"}, {"/"}, {"-x"},
        {"-p"}, {"-f"}, {"-p", "1024"}, {"-p", "65536"}, {"-t", "-p", "abc"}, {"-t", "stray"}};
    for (const auto& args : refused)
        EXPECT_EXIT(Parse(args), testing::ExitedWithCode(1), "^$") << testing::PrintToString(args);
}

TEST(Clock, ReadingsAndTheirDifferencesHoldAcrossTheTimersWrap) {
    Sys_ResetClock();
    EXPECT_EQ(Sys_MillisecondsFrom(0xFFFFFFF0u), 0xFFF0u);   // the base is rounded down,
    EXPECT_EQ(Sys_MillisecondsFrom(0x00000010u), 0x10010u);  // readings rise on through the wrap
    const struct { uint32_t now, then; int32_t elapsed; } diffs[] = {
        {0x10010u, 0xFFF0u, 0x20}, {0x80000010u, 0x7FFFFFF0u, 0x20}, {5u, 0xFFFFFFFBu, 10},
        {0xFFFFFFFBu, 5u, -10}};
    for (const auto& d : diffs) EXPECT_EQ(Sys_Elapsed(d.now, d.then), d.elapsed) << d.now;
}

TEST(Log, RecordsAreStampedAndLongMessagesCutWithoutOverrun) {
    const auto old = std::filesystem::current_path();
    const auto dir = std::filesystem::temp_directory_path() / ("tarmis_log_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    Parse({"-d"});
    Log_Printf("%s", std::string(4096, 'a').c_str());   // no line end: the next record runs on
    Sys_Printf("Client %s\n", std::string(2047, '%').c_str());   // a client's text, never formatted twice
    EXPECT_EXIT(Sys_Error("%s", std::string(9000, 'e').c_str()), testing::ExitedWithCode(1), "");
    std::ifstream in(dir / "log.txt");
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
    Sys_ResetOptions();
    // Each record: its stamp, then at most 255 characters, keeping its line end.
    const std::string stamp = "[A-Z][a-z]{2} \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\S* - ";
    const std::string want = stamp + "a{255}" + stamp + "Client %{247}\n" + stamp + "ERROR: e{247}\n";
    EXPECT_TRUE(std::regex_match(log, std::regex(want))) << log;
}
