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

TEST(Tokenizer, LongTokensNeverOverrunAndLinesOfRequestSizeStayWhole) {
    // The longest request line: one token of 2047 characters survives whole.
    std::string longest(2047, 'x');
    Args args = Split(longest);
    ASSERT_EQ(args.size(), 1u);
    EXPECT_EQ(args[0], longest);

    // Eighty tokens that fill a 2047-character line all survive whole.
    std::string packed;
    for (int i = 0; i < 79; i++) packed += std::string(24, static_cast<char>('a' + i % 26)) + " ";
    packed += std::string(2047 - packed.size(), 'z');
    ASSERT_EQ(packed.size(), 2047u);
    args = Split(packed);
    ASSERT_EQ(args.size(), 80u);
    EXPECT_EQ(args[79], std::string(2047 - 79 * 25, 'z'));

    // Longer than any line that can arrive: cut, and the next token still
    // follows. A text of many long tokens is cut to the storage, never past.
    std::string huge(10000, 'y');
    args = Split(huge + " next");
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[0], std::string(CMD_MAX_TOKEN - 1, 'y'));
    EXPECT_EQ(args[1], "next");

    std::string many;
    for (int i = 0; i < 80; i++) many += std::string(3000, 'q') + " ";
    args = Split(many);
    ASSERT_EQ(args.size(), 80u);
    // The first takes a whole token, the second what is left of the
    // storage, and the rest arrive empty.
    EXPECT_EQ(args[0], std::string(CMD_MAX_TOKEN - 1, 'q'));
    EXPECT_EQ(args[1], std::string(CMD_ARG_STORAGE - CMD_MAX_TOKEN - 1, 'q'));
    EXPECT_EQ(args[2], "");
    EXPECT_EQ(args[79], "");

    // Those empty arguments, too, lie inside the instance's storage.
    CommandArgs full{};
    Cmd_Tokenize(full, many.c_str());
    const char* first = full.storage.data();
    for (int i = 0; i < Cmd_Argc(full); i++) {
        const char* arg = Cmd_Argv(full, i);
        EXPECT_TRUE(arg >= first && arg < first + CMD_ARG_STORAGE) << "argument " << i;
    }
}

TEST(Tokenizer, ReadTokenReportsWhereItStoppedAndNoneAtTheEnd) {
    CommandArgs args{};
    const char* text = "  one \"two x\" ";
    const char* pos = Cmd_ReadToken(args, text);
    EXPECT_STREQ(args.token.data(), "one");
    EXPECT_EQ(pos, text + 5);
    pos = Cmd_ReadToken(args, pos);
    EXPECT_STREQ(args.token.data(), "two x");
    EXPECT_EQ(pos, text + 13);
    EXPECT_EQ(Cmd_ReadToken(args, pos), nullptr);
    EXPECT_STREQ(args.token.data(), "");
    EXPECT_EQ(Cmd_ReadToken(args, nullptr), nullptr);
    // Newlines are skipped here (only the line splitter stops at them).
    pos = Cmd_ReadToken(args, "\n\n word");
    EXPECT_STREQ(args.token.data(), "word");
}

TEST(Tokenizer, TheTwoInstancesKeepTheirOwnArgumentsAcrossThreads) {
    Cmd_Reset(sv_args);
    Cmd_Reset(relay_args);
    Cmd_Tokenize(sv_args, "connect 1 2 3 main");
    Cmd_Tokenize(relay_args, "key 13");
    EXPECT_EQ(Cmd_Argc(sv_args), 5);
    EXPECT_STREQ(Cmd_Argv(sv_args, 4), "main");
    EXPECT_STREQ(Cmd_Argv(relay_args, 1), "13");

    // Both threads tokenize at the same time; each must only ever see its
    // own lines (a shared scratch buffer would mix them).
    bool relay_ok = true;
    std::thread relay([&] {
        for (int i = 0; i < 20000; i++) {
            Cmd_Tokenize(relay_args, "key \"relay side\" 37");
            if (Cmd_Argc(relay_args) != 3 || std::string(Cmd_Argv(relay_args, 1)) != "relay side")
                relay_ok = false;
        }
    });
    bool main_ok = true;
    for (int i = 0; i < 20000; i++) {
        Cmd_Tokenize(sv_args, "getchallenge \"main thread words\"");
        if (Cmd_Argc(sv_args) != 2 || std::string(Cmd_Argv(sv_args, 1)) != "main thread words")
            main_ok = false;
    }
    relay.join();
    EXPECT_TRUE(main_ok);
    EXPECT_TRUE(relay_ok);
}
