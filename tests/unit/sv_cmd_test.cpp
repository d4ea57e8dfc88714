// Tokenizer: how command lines split into arguments.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "server/cmd.h"

namespace {

std::vector<std::string> Split(const std::string& text) {
    CommandArgs args{};
    Cmd_Tokenize(args, text.c_str());
    std::vector<std::string> out;
    for (int i = 0; i < Cmd_Argc(args); i++) out.emplace_back(Cmd_Argv(args, i));
    return out;
}

using Args = std::vector<std::string>;

}  // namespace

TEST(Tokenizer, SplitsOnWhiteSpaceAndStopsAtTheFirstLine) {
    EXPECT_EQ(Split(""), Args{});
    EXPECT_EQ(Split("   \t  "), Args{});
    EXPECT_EQ(Split("\nkey 13"), Args{});
    EXPECT_EQ(Split("key 13 14\nkey 15"), (Args{"key", "13", "14"}));
    // Bytes 0x80..0xFF separate like blanks.
    EXPECT_EQ(Split("a\x80z b\xFFy"), (Args{"a", "z", "b", "y"}));
    // Quotes and slashes inside a word are ordinary bytes.
    EXPECT_EQ(Split("a\"b c/d"), (Args{"a\"b", "c/d"}));
    EXPECT_EQ(Split("a\"b")[0].size(), 3u);
}

TEST(Tokenizer, QuotedArgumentsKeepEverythingUpToTheClosingQuote) {
    EXPECT_EQ(Split("connect 1 2 3 \"my name\" 0"),
              (Args{"connect", "1", "2", "3", "my name", "0"}));
    EXPECT_EQ(Split("a \"\" b"), (Args{"a", "", "b"}));
    // Newlines and high bytes inside quotes belong to the argument.
    EXPECT_EQ(Split("\"x\ny\" z"), (Args{"x\ny", "z"}));
    EXPECT_EQ(Split("\"p\xC3q\""), (Args{"p\xC3q"}));
    // An unclosed quote runs to the end of the text.
    EXPECT_EQ(Split("a \"rest of it\nand more"), (Args{"a", "rest of it\nand more"}));
    // A quote inside a word does not start a quoted argument.
    EXPECT_EQ(Split("ab\"cd\""), (Args{"ab\"cd\""}));
}

TEST(Tokenizer, CommentsRunToTheirNewlineAndReadingGoesOn) {
    EXPECT_EQ(Split("key // a note\n13"), (Args{"key", "13"}));
    EXPECT_EQ(Split("// only a note"), Args{});
    EXPECT_EQ(Split("key //\n//\n 7 8"), (Args{"key", "7", "8"}));
}

TEST(Tokenizer, KeepsEightyArgumentsAndDropsTheRest) {
    std::string line;
    // Appended piece by piece: g++ 12 at -O2 sees a false -Wrestrict in
    // a sum of texts here.
    for (int i = 0; i < 81; i++) {
        line += 'w';
        line += std::to_string(i);
        line += ' ';
    }
    Args args = Split(line);
    ASSERT_EQ(args.size(), 80u);
    EXPECT_EQ(args[79], "w79");

    CommandArgs one{};
    Cmd_Tokenize(one, line.c_str());
    EXPECT_STREQ(Cmd_Argv(one, 80), "");
    EXPECT_STREQ(Cmd_Argv(one, -1), "");
    EXPECT_STREQ(Cmd_Argv(one, 1000), "");
    Cmd_Tokenize(one, nullptr);
    EXPECT_EQ(Cmd_Argc(one), 0);
    EXPECT_STREQ(Cmd_Argv(one, 0), "");
}
