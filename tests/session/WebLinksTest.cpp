// The links of uploaded files: the web address as typed, the sub-directory
// of the job and the file's name, each part percent-encoded.

#include <gtest/gtest.h>

#include "upload/WebLinks.h"

namespace {

struct LinkCase {
    const char* label;
    std::string webAddress;
    std::string directory;
    std::string fileName;
    std::string link;
};

void PrintTo(const LinkCase& c, std::ostream* os)
{
    *os << c.label;
}

class WebLinks : public ::testing::TestWithParam<LinkCase> { };

TEST_P(WebLinks, JoinAddressDirectoryAndName)
{
    const LinkCase& c = GetParam();
    EXPECT_EQ(WebLink(WebLinkBase(c.webAddress), c.directory, c.fileName), c.link);
}

INSTANTIATE_TEST_SUITE_P(
    Links, WebLinks,
    ::testing::Values(
        LinkCase{"TrailingSlash", "https://example.org/files/", "", "a.txt", "https://example.org/files/a.txt"},
        LinkCase{"NoTrailingSlash", "https://example.org/files", "", "a.txt", "https://example.org/files/a.txt"},
        LinkCase{"HostOnly", "https://example.org", "", "a.txt", "https://example.org/a.txt"},
        LinkCase{"NoSchemeGetsHttps", "example.org/files", "", "a.txt", "https://example.org/files/a.txt"},
        LinkCase{"NoSchemeWithPort", "localhost:8080/up", "", "a.txt", "https://localhost:8080/up/a.txt"},
        LinkCase{"SchemeRelative", "//example.org/f/", "", "a.txt", "https://example.org/f/a.txt"},
        LinkCase{"PlainHttpKept", "http://example.org/~me/", "", "a.txt", "http://example.org/~me/a.txt"},
        LinkCase{"BlanksAroundDropped", "  https://example.org/f/ \t", "", "a.txt", "https://example.org/f/a.txt"},
        LinkCase{"TypedEscapesKept", "https://example.org/my%20files/", "", "a.txt",
                 "https://example.org/my%20files/a.txt"},
        LinkCase{"TypedBlankAndUtf8Escaped", "https://example.org/my files/\xc3\xa9t\xc3\xa9", "", "a.txt",
                 "https://example.org/my%20files/%C3%A9t%C3%A9/a.txt"},
        LinkCase{"RelativeDirectory", "https://example.org/f/", "pub/in", "a.txt",
                 "https://example.org/f/pub/in/a.txt"},
        LinkCase{"AbsoluteDirectoryBelowTheBase", "https://example.org/f/", "/pub/in/", "a.txt",
                 "https://example.org/f/pub/in/a.txt"},
        LinkCase{"DotsAndEmptyParts", "https://example.org/f/", "./pub//x/../in/.", "a.txt",
                 "https://example.org/f/pub/in/a.txt"},
        LinkCase{"NeverAboveTheBase", "https://example.org/f/", "../../in", "a.txt", "https://example.org/f/in/a.txt"},
        LinkCase{"DirectoryWithBlankAndUtf8", "https://example.org/",
                 "Fotos 2026/\xc3\x9c"
                 "ber",
                 "a.txt", "https://example.org/Fotos%202026/%C3%9Cber/a.txt"},
        LinkCase{"NameWithBlanks", "https://example.org/", "", "my holiday photo.jpg",
                 "https://example.org/my%20holiday%20photo.jpg"},
        LinkCase{"NameInUtf8", "https://example.org/", "", "r\xc3\xa9sum\xc3\xa9 \xe2\x82\xac.pdf",
                 "https://example.org/r%C3%A9sum%C3%A9%20%E2%82%AC.pdf"},
        LinkCase{"NameNotUtf8KeepsItsBytes", "https://example.org/", "", "caf\xe9\xff.txt",
                 "https://example.org/caf%E9%FF.txt"},
        LinkCase{"NameWithUrlSyntax", "https://example.org/", "a?b", "50% #1 & +x=y;z/.txt",
                 "https://example.org/a%3Fb/50%25%20%231%20%26%20%2Bx%3Dy%3Bz%2F.txt"},
        LinkCase{"UnreservedStayAsTheyAre", "https://example.org/", "", "A-z_0.9~", "https://example.org/A-z_0.9~"}),
    [](const auto& test) { return std::string(test.param.label); });

TEST(WebLinkBase, EmptyOrBlankAddressMeansNoLinks)
{
    EXPECT_EQ(WebLinkBase(""), "");
    EXPECT_EQ(WebLinkBase("   "), "");
}

} // namespace
