// Options, the millisecond clock and the debug log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "shell/log.h"
#include "shell/sys.h"

namespace fs = std::filesystem;

namespace {

void Parse(std::vector<std::string> args) {
    std::vector<char*> argv;
    static std::string program = "tarmis_server";
    argv.push_back(program.data());
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Sys_ParseOptions(static_cast<int>(argv.size() - 1), argv.data());
}

// Runs each test of the log in a fresh directory of its own.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Sys_ResetOptions();
        old_ = fs::current_path();
        dir_ = fs::temp_directory_path() / ("tarmis_log_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override {
        Sys_ResetOptions();
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    std::vector<std::string> Records() {
        std::ifstream in(dir_ / "log.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    fs::path old_, dir_;
};

const std::regex STAMPED(R"(^[A-Z][a-z]{2} \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \S* - (.*)$)");

std::string Body(const std::string& record) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(record, m, STAMPED)) << record;
    return m.size() > 1 ? m[1].str() : "";
}

}  // namespace

TEST(Options, DefaultsAndAcceptedValues) {
    Sys_ResetOptions();
    Parse({});
    EXPECT_EQ(transmit_interval, 50);
    EXPECT_EQ(test_mode, 0);
    EXPECT_EQ(listen_port, 0);
    EXPECT_EQ(log_enabled, 0);

    Parse({"-p", "1025"});
    EXPECT_EQ(listen_port, 1025);
    Parse({"/P", "65535"});
    EXPECT_EQ(listen_port, 65535);

    Parse({"-T", "-f", "abc"});
    EXPECT_EQ(test_mode, 1);
    EXPECT_EQ(transmit_interval, 0);
    Parse({"-f", "-1", "/frequency", "20"});  // a later value replaces the earlier
    EXPECT_EQ(transmit_interval, 20);
    Sys_ResetOptions();
}

TEST(Options, EveryRefusedArgumentEndsWithExitCodeOne) {
    const std::vector<std::vector<std::string>> refused = {
        {"x"}, {"-"}, {"/"}, {"-x"}, {"-p"}, {"-f"}, {"-p", "1024"}, {"-p", "0"},
        {"-p", "65536"}, {"-t", "-p", "abc"}, {"-d", "stray"},
    };
    // The usage text goes to standard output; nothing on the error stream
    // tells a clean exit from a crash that also ends with 1.
    for (const auto& args : refused) EXPECT_EXIT(Parse(args), ::testing::ExitedWithCode(1), "^$") << args[0];
}

TEST(Clock, BaseIsRoundedDownAndReadingsWrapWithTheTimer) {
    Sys_ResetClock();
    EXPECT_EQ(Sys_MillisecondsFrom(0x12345678u), 0x5678u);
    EXPECT_EQ(Sys_MillisecondsFrom(0x12350000u), 0x10000u);

    // Started just below the timer's wrap: readings go on rising through it.
    Sys_ResetClock();
    uint32_t first = Sys_MillisecondsFrom(0xFFFFFFF0u);
    EXPECT_EQ(first, 0xFFF0u);
    uint32_t later = Sys_MillisecondsFrom(0x00000010u);
    EXPECT_EQ(later, 0x10010u);
    EXPECT_EQ(Sys_Elapsed(later, first), 0x20);

    // The real clock starts below 65536 and does not run backwards.
    Sys_ResetClock();
    uint32_t a = Sys_GetMilliseconds();
    EXPECT_LT(a, 65536u);
    EXPECT_GE(Sys_Elapsed(Sys_GetMilliseconds(), a), 0);
    Sys_ResetClock();
}

TEST(Clock, ElapsedComparesAcrossTheSignedBoundary) {
    EXPECT_EQ(Sys_Elapsed(0x80000010u, 0x7FFFFFF0u), 0x20);
    EXPECT_EQ(Sys_Elapsed(5u, 0xFFFFFFFBu), 10);
    EXPECT_EQ(Sys_Elapsed(0xFFFFFFFBu, 5u), -10);
}

TEST_F(LogTest, OptionDEmptiesTheFileAndRecordsAreStamped) {
    { std::ofstream(dir_ / "log.txt") << "from an earlier run\n"; }
    Parse({"-Debug"});
    EXPECT_EQ(log_enabled, 1);
    EXPECT_EQ(std::string(log_path), (fs::current_path() / "log.txt").string());
    EXPECT_TRUE(Records().empty());

    Log_Printf("Transmit frequency %i\n", 50);
    auto recs = Records();  // on disk as soon as the call returns
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(Body(recs[0]), "Transmit frequency 50");

    Sys_Printf("%s", "100%d done\n");  // the text is never formatted twice
    recs = Records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(Body(recs[1]), "100%d done");

    Parse({"/d"});  // a repeated d empties the file again
    EXPECT_TRUE(Records().empty());
}

TEST_F(LogTest, LongMessagesAreCutWithoutOverrun) {
    Parse({"-d"});
    std::string exact(4096, 'a');  // cut to 4095, then to the 255 of the copy
    Log_Printf("%s", exact.c_str());  // no line end: the next record runs on
    std::string command(2047, 'k');  // a client command text of the longest kind
    Sys_Printf("Client text: %s\n", command.c_str());
    std::string huge(9000, 'e');
    EXPECT_EXIT(Sys_Error("%s", huge.c_str()), ::testing::ExitedWithCode(1), "");

    auto recs = Records();
    ASSERT_EQ(recs.size(), 2u);
    // 255 of the 4096 characters, then the next record's stamp on the same
    // line; the command text keeps its first 255 - 13 - 1 characters and
    // the record's line end.
    EXPECT_TRUE(std::regex_match(
        Body(recs[0]), std::regex("a{255}[A-Z][a-z]{2} [-0-9]+ [0-9:]+ \\S* - Client text: k{241}")))
        << recs[0];
    EXPECT_EQ(Body(recs[1]), "ERROR: " + std::string(254 - 7, 'e'));
}
