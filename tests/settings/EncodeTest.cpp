#include "settings/Encode.h"
#include "support/TestNames.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(static_cast<unsigned char>(v));
    return s;
}

std::string Show(const std::string& s)
{
    std::string out;
    for (unsigned char c : s)
        out += (out.empty() ? "" : " ") + std::to_string(c);
    return "[" + out + "]";
}

struct RunCase {
    const char* what;
    std::string key;
    bool turning;
    int move;
    bool decimal;
    std::string sequence;
    std::string input;
    std::string expected;
};

class EncodeRun : public testing::TestWithParam<RunCase> { };

TEST_P(EncodeRun, ProducesExpectedBytes)
{
    const RunCase& c = GetParam();
    Tencode e;
    e.SetKey(c.key);
    e.SetTurning(c.turning);
    e.SetMoveNumber(c.move);
    e.SetDecimalOut(c.decimal);
    e.SetSequence(c.sequence);
    e.SetTextInOut(c.input);
    EXPECT_EQ(Show(e.TextInOut()), Show(c.expected)) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, EncodeRun,
    testing::Values(RunCase{"keyless turn and move to decimal", "", true, 6, true, "23", "abc", "#105#104#103"},
                    RunCase{"keyless decimal input reversed", "", true, -6, true, "32", "#105#104#103", "abc"},
                    RunCase{"decimal input decodes to plain bytes", "", true, 0, true, "", "#72#105", "Hi"},
                    RunCase{"any non-digit separates decimal runs", "", true, 0, true, "", "#72 105x33", "Hi!"},
                    RunCase{"decimal runs keep their low eight bits", "", true, 0, true, "", "#256#300",
                            Bytes({0, 44})},
                    RunCase{"sequence 3 runs only the move", "K", true, 1, false, "3", "abc", "bcd"},
                    RunCase{"empty sequence runs nothing", "K", true, 1, false, "", "abc", "abc"},
                    RunCase{"empty sequence still gives decimal form", "K", true, 1, true, "", "AB", "#65#66"},
                    RunCase{"sequence 22 reverses twice", "K", true, 1, false, "22", "abc", "abc"},
                    RunCase{"only three sequence positions count", "", true, 1, false, "2223", "abc", "cba"},
                    RunCase{"unknown sequence digits do nothing", "", true, 1, false, "x03", "abc", "bcd"},
                    RunCase{"turning off disables step 2", "", false, 1, false, "23", "abc", "bcd"},
                    RunCase{"move 0 disables step 3", "", true, 0, false, "23", "abc", "cba"},
                    RunCase{"empty key disables the xor", "", true, 0, false, "1", "abc", "abc"},
                    RunCase{"key longer than the text uses its first bytes", "ABCDEF", true, 0, false, "1", "ab",
                            Bytes({'a' ^ 'A', 'b' ^ 'B'})},
                    RunCase{"key repeats from its first byte per block", "AB", true, 0, false, "1", "abcde",
                            Bytes({'a' ^ 'A', 'b' ^ 'B', 'c' ^ 'A', 'd' ^ 'B', 'e' ^ 'A'})},
                    RunCase{"move up wraps by 255", "", true, 6, false, "3", Bytes({0, 1, 249, 250, 255}),
                            Bytes({6, 7, 255, 1, 6})},
                    RunCase{"move down wraps by 255", "", true, -6, false, "3", Bytes({0, 1, 5, 6, 255}),
                            Bytes({249, 250, 254, 0, 249})},
                    RunCase{"empty input stays empty with decimal output", "K", true, 6, true, "123", "", ""},
                    RunCase{"empty input stays empty without decimal output", "K", true, 6, false, "123", "", ""}),
    [](const testing::TestParamInfo<RunCase>& test) { return WordsAsName(test.param.what); });

// The password scrambler as the settings load and save set it up.
Tencode& MainWindowScrambler(Tencode& e)
{
    e.SetKey("QZRW");
    e.SetTurning(true);
    e.SetMoveNumber(6);
    e.SetDecimalOut(false);
    e.SetSequence("123");
    return e;
}

std::string Scramble(Tencode& e, const std::string& password)
{
    e.SetSequence("123");
    e.SetMoveNumber(6);
    e.SetTextInOut(password);
    return e.TextInOut();
}

std::string Unscramble(Tencode& e, const std::string& stored)
{
    e.SetSequence("321");
    e.SetMoveNumber(-6);
    e.SetTextInOut(stored);
    return e.TextInOut();
}

TEST(EncodePassword, StoredFormIsPinned)
{
    // Saved settings hold exactly these bytes; changing them would lose every
    // password users have saved.
    Tencode e;
    MainWindowScrambler(e);
    EXPECT_EQ(Show(Scramble(e, "secret")), Show(Bytes({52, 58, 43, 55, 69, 40})));
    EXPECT_EQ(Show(Scramble(e, "Q")), Show(Bytes({6})));
}

TEST(EncodePassword, RoundTripsWithoutZeroBytes)
{
    Tencode e;
    MainWindowScrambler(e);
    std::string every;
    for (int b = 1; b <= 255; ++b)
        if ((b ^ "QZRW"[every.size() % 4]) != 255) // the collision has its own test
            every += static_cast<char>(b);
    for (const std::string& password : {std::string("x"), std::string("abc"), std::string("pass"),
                                        std::string("a longer password with blanks"), every}) {
        const std::string stored = Scramble(e, password);
        EXPECT_EQ(stored.size(), password.size());
        EXPECT_EQ(stored.find('\0'), std::string::npos) << Show(stored);
        EXPECT_EQ(Show(Unscramble(e, stored)), Show(password));
    }
}

TEST(EncodePassword, ByteWhoseXorIs255ComesBackAsKeyByte)
{
    // Both 255 and 0 leave the move step as 6, so this byte cannot come back.
    Tencode e;
    MainWindowScrambler(e);
    const std::string password = Bytes({'Q' ^ 0xFF, 'a', 'R' ^ 0xFF});
    const std::string stored = Scramble(e, password);
    EXPECT_EQ(stored, Scramble(e, Bytes({'Q', 'a', 'R'})));
    EXPECT_EQ(Show(Unscramble(e, stored)), Show(Bytes({'Q', 'a', 'R'})));
}

TEST(EncodeProperties, DefaultsAndMoveNumberClamp)
{
    Tencode e;
    EXPECT_EQ(e.Key().size(), 5u);
    for (char c : e.Key())
        EXPECT_TRUE(c >= 'A' && c <= 'Z') << e.Key();
    EXPECT_TRUE(e.Turning());
    EXPECT_EQ(e.MoveNumber(), 10);
    EXPECT_TRUE(e.DecimalOut());
    EXPECT_EQ(e.Sequence(), "123");

    const std::pair<int, int> table[] = {{150, 100},   {101, 100},   {100, 100},   {-6, -6},
                                         {-100, -100}, {-101, -100}, {-150, -100}, {0, 0}};
    for (auto [in, out] : table) {
        e.SetMoveNumber(in);
        EXPECT_EQ(e.MoveNumber(), out) << in;
    }
}

TEST(EncodeProperties, EachReadRunsTheStepsAgain)
{
    Tencode e;
    e.SetKey("");
    e.SetDecimalOut(false);
    e.SetSequence("3");
    e.SetMoveNumber(1);
    e.SetTextInOut("abc");
    EXPECT_EQ(e.TextInOut(), "bcd");
    EXPECT_EQ(e.TextInOut(), "cde");
}

TEST(EncodeDecimalCut, LongPlainInputIsCutTo63Characters)
{
    // Sequence "" leaves the bytes alone, so the count of "#" shows how many
    // input characters survived.
    struct Case {
        std::size_t length;
        bool decimalBeforeWrite;
        std::size_t kept;
    } const table[] = {
        {63, true, 63},  {64, true, 64},  {65, true, 63},
        {200, true, 63}, {64, false, 64}, {65, false, 63}, // switched on after the write
    };
    for (const Case& c : table) {
        Tencode e;
        e.SetSequence("");
        e.SetDecimalOut(c.decimalBeforeWrite);
        e.SetTextInOut(std::string(c.length, 'a'));
        e.SetDecimalOut(true);
        const std::string out = e.TextInOut();
        EXPECT_EQ(static_cast<std::size_t>(std::count(out.begin(), out.end(), '#')), c.kept)
            << c.length << (c.decimalBeforeWrite ? " decimal before write" : " decimal after write");
    }

    // Decimal input is never cut, however long.
    Tencode e;
    e.SetSequence("");
    std::string input;
    for (int i = 0; i < 30; ++i)
        input += "#97";
    e.SetTextInOut(input);
    EXPECT_EQ(e.TextInOut(), std::string(30, 'a'));
}

TEST(EncodeDecimal, RunTooLongForAnIntegerIsAConversionError)
{
    Tencode e;
    e.SetSequence("");
    e.SetTextInOut("#2147483647");
    EXPECT_EQ(Show(e.TextInOut()), Show(Bytes({255})));

    for (const std::string bad : {"2147483648", "99999999999"}) {
        e.SetTextInOut("#65#" + bad);
        try {
            e.TextInOut();
            ADD_FAILURE() << bad << " was accepted";
        } catch (const EConvertError& error) {
            EXPECT_STREQ(error.what(), ("'" + bad + "' is not a valid integer value").c_str());
        }
    }
}

} // namespace
