// Reply parsing helpers: numbers, quoted paths, PASV and EPSV ports.
#include "ftp/FtpInternal.h"

#include <gtest/gtest.h>

TEST(FtpReplyParsing, Numbers)
{
    struct Case {
        const char* text;
        int value;
        char next;
    } cases[] = {
        {"230 Logged in", 230, ' '}, {"230-Welcome", 230, '-'}, {"  \t+57x", 57, 'x'},
        {"-12 ", -12, ' '},          {"no digits", 0, 'n'},     {"213 4294967296", 213, ' '},
    };
    for (auto& c : cases) {
        int value = -1;
        const char* rest = FtpParseNumber(c.text, value);
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(*rest, c.next) << c.text;
    }
    std::int64_t big = 0;
    (void)FtpParseNumber(" 4294967296", big);
    EXPECT_EQ(big, 4294967296LL);
}

TEST(FtpReplyParsing, QuotedPaths)
{
    EXPECT_EQ(FtpQuotedString(" \"/pub\" is current"), "/pub");
    EXPECT_EQ(FtpQuotedString(" \"/a \"\"b\"\"\" created"), "/a \"b\"");
    EXPECT_EQ(FtpQuotedString(" \"\"\"\""), "\"");
    EXPECT_EQ(FtpQuotedString(" /pub unquoted"), "");
    EXPECT_EQ(FtpQuotedString(" \"unterminated"), "unterminated");
}

TEST(FtpReplyParsing, PasvPorts)
{
    struct Case {
        const char* reply;
        bool ok;
        std::uint16_t port;
    } cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,195,80)", true, 195 * 256 + 80},
        // The address of the reply is skipped: only the port counts.
        {"227 Entering Passive Mode (10,1,2,3,0,21).", true, 21},
        {"227 =(127,0,0,1, 4, 1)", true, 4 * 256 + 1},
        {"227 Entering Passive Mode 127,0,0,1,4,1", false, 0},
        {"227 (127,0,0,1,4)", false, 0},
        {"227 (127,0,0,1,4,1", false, 0},
        {"227 (127,0,0,1,256,1)", false, 0},
        {"227 (127,0,0,1,0,0)", false, 0},
        {"", false, 0},
    };
    for (auto& c : cases) {
        std::uint16_t port = 0;
        EXPECT_EQ(FtpPasvPort(c.reply, port), c.ok) << c.reply;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.reply;
        }
    }
}

// RFC 2428's 229 reply, read strictly: "(|||port|)", one delimiter (any
// printable character but a digit) throughout, empty address fields.
TEST(FtpReplyParsing, EpsvPorts)
{
    struct Case {
        const char* reply;
        bool ok;
        std::uint16_t port;
    } cases[] = {
        {"229 Entering Extended Passive Mode (|||6446|)", true, 6446},
        {"229 Entering Extended Passive Mode (!!!2121!)", true, 2121},
        {"229 ok (|||65535|) trailing", true, 65535},
        {"229 (|||1|)", true, 1},
        {"229 Entering Extended Passive Mode (|||0|)", false, 0},
        {"229 Entering Extended Passive Mode (|||65536|)", false, 0},
        {"229 Entering Extended Passive Mode (|||99999999|)", false, 0},
        {"229 Entering Extended Passive Mode (|||6446)", false, 0},
        {"229 Entering Extended Passive Mode (||6446|)", false, 0},
        {"229 Entering Extended Passive Mode (|2|::1|6446|)", false, 0},
        {"229 Entering Extended Passive Mode (|||-6446|)", false, 0},
        {"229 Entering Extended Passive Mode (|||6446!)", false, 0},
        {"229 Entering Extended Passive Mode (!||6446|)", false, 0},
        {"229 Entering Extended Passive Mode (1116446|)", false, 0},
        {"229 Entering Extended Passive Mode (|||  6446|)", false, 0},
        {"229 Entering Extended Passive Mode |||6446|", false, 0},
        {"229 Entering Extended Passive Mode (|||)", false, 0},
        {"229 Entering Extended Passive Mode (   6446 )", false, 0},
        {"227 Entering Passive Mode (127,0,0,1,195,80)", false, 0},
        {"", false, 0},
    };
    for (auto& c : cases) {
        std::uint16_t port = 0;
        EXPECT_EQ(FtpEpsvPort(c.reply, port), c.ok) << c.reply;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.reply;
        }
    }
}
