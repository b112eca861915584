// The packet layer: what it builds is byte-exact, and what it reads is
// refused whenever a length, a count or the type does not fit the bytes.
#include <gtest/gtest.h>

#include <string>

#include "sftp/SftpPacket.h"

using namespace sftp;

namespace {

std::string U32(std::uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string Str(const std::string& s)
{
    return U32(static_cast<std::uint32_t>(s.size())) + s;
}
// A whole packet: the length, then the type and the body.
std::string Packet(std::uint8_t type, const std::string& body)
{
    return U32(static_cast<std::uint32_t>(body.size() + 1)) + char(type) + body;
}
std::optional<Reply> Parse(const std::string& p)
{
    return ParseReply(reinterpret_cast<const std::uint8_t*>(p.data()), p.size());
}

TEST(SftpPacket, RequestsAreByteExact)
{
    std::string out;
    AppendInit(out);
    EXPECT_EQ(U32(5) + char(FXP_INIT) + U32(3), out);

    out.clear();
    AppendOpen(out, 7, "/a b", FXF_WRITE | FXF_CREAT | FXF_TRUNC);
    EXPECT_EQ(Packet(FXP_OPEN, U32(7) + Str("/a b") + U32(0x1a) + U32(0)), out);

    out.clear();
    AppendWrite(out, 9, "h1", 0x100000002ull, "xyz", 3);
    EXPECT_EQ(Packet(FXP_WRITE, U32(9) + Str("h1") + U32(1) + U32(2) + Str("xyz")), out);

    out.clear();
    AppendMkdir(out, 1, "d");
    AppendHandleRequest(out, FXP_CLOSE, 2, "h");
    EXPECT_EQ(Packet(FXP_MKDIR, U32(1) + Str("d") + U32(0)) + Packet(FXP_CLOSE, U32(2) + Str("h")), out);
}

TEST(SftpPacket, WellFormedRepliesAreRead)
{
    auto v = Parse(Packet(FXP_VERSION, U32(3) + Str("posix-rename@openssh.com") + Str("1")));
    ASSERT_TRUE(v);
    EXPECT_EQ(3u, v->version);
    ASSERT_EQ(1u, v->extensions.size());

    auto st = Parse(Packet(FXP_STATUS, U32(4) + U32(FX_PERMISSION_DENIED) + Str("Permission denied") + Str("en")));
    ASSERT_TRUE(st);
    EXPECT_EQ(4u, st->id);
    EXPECT_EQ(FX_PERMISSION_DENIED, st->code);
    EXPECT_EQ("Permission denied", st->message);
    // The oldest servers end a status after its code.
    auto bare = Parse(Packet(FXP_STATUS, U32(5) + U32(FX_OK)));
    ASSERT_TRUE(bare);
    EXPECT_EQ("", bare->message);

    // A name of any bytes, and attributes with every field.
    const std::string attrs = U32(FILEXFER_ATTR_SIZE | FILEXFER_ATTR_UIDGID | FILEXFER_ATTR_PERMISSIONS |
                                  FILEXFER_ATTR_ACMODTIME | FILEXFER_ATTR_EXTENDED) +
                              U32(0) + U32(42) + U32(1) + U32(2) + U32(040755) + U32(3) + U32(4) + U32(1) + Str("k") +
                              Str("v");
    auto n = Parse(
        Packet(FXP_NAME, U32(6) + U32(2) + Str("a b\xff\xc3\xa9") + Str("drwx") + attrs + Str("f") + Str("") + U32(0)));
    ASSERT_TRUE(n);
    ASSERT_EQ(2u, n->names.size());
    EXPECT_EQ("a b\xff\xc3\xa9", n->names[0].filename);
    EXPECT_TRUE(n->names[0].attrs.IsDirectory());
    EXPECT_EQ(42u, n->names[0].attrs.size);
    EXPECT_FALSE(n->names[1].attrs.IsDirectory()) << "no permissions: not known to be a directory";
}

TEST(SftpPacket, MalformedRepliesAreRefused)
{
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"length only", U32(0)},
        {"length longer than the bytes", U32(20) + char(FXP_STATUS) + U32(1) + U32(0)},
        {"length shorter than the bytes", U32(5) + char(FXP_STATUS) + U32(1) + U32(0)},
        {"unknown type", Packet(77, U32(1))},
        {"a request type", Packet(FXP_OPEN, U32(1) + Str("x") + U32(0) + U32(0))},
        {"status without its code", Packet(FXP_STATUS, U32(1))},
        {"string length past the end", Packet(FXP_STATUS, U32(1) + U32(0) + U32(1000) + "abc")},
        {"string length near 2^32", Packet(FXP_HANDLE, U32(1) + U32(0xffffffffu) + "abc")},
        {"language tag missing", Packet(FXP_STATUS, U32(1) + U32(0) + Str("msg"))},
        {"bytes left over", Packet(FXP_HANDLE, U32(1) + Str("h") + "x")},
        {"handle over 256 bytes", Packet(FXP_HANDLE, U32(1) + Str(std::string(257, 'h')))},
        {"name count larger than the entries", Packet(FXP_NAME, U32(1) + U32(3) + Str("a") + Str("") + U32(0))},
        {"name count of 2^32-1", Packet(FXP_NAME, U32(1) + U32(0xffffffffu) + Str("a") + Str("") + U32(0))},
        {"attributes cut in the size", Packet(FXP_ATTRS, U32(1) + U32(FILEXFER_ATTR_SIZE) + U32(0))},
        {"extended count past the end", Packet(FXP_ATTRS, U32(1) + U32(FILEXFER_ATTR_EXTENDED) + U32(0x7fffffff))},
        {"version with half an extension", Packet(FXP_VERSION, U32(3) + Str("name"))},
        {"extended reply (never asked for)", Packet(FXP_EXTENDED_REPLY, U32(1))},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(Parse(c.bytes)) << c.what;
}

TEST(SftpPacket, FramingWaitsForTheWholePacketAndRefusesImpossibleLengths)
{
    const std::string p = Packet(FXP_STATUS, U32(1) + U32(0) + Str("") + Str(""));
    const auto* d = reinterpret_cast<const std::uint8_t*>(p.data());
    std::size_t len = 0;
    for (std::size_t cut = 0; cut < p.size(); ++cut)
        EXPECT_EQ(Framing::Incomplete, FramePacket(d, cut, len)) << cut;
    ASSERT_EQ(Framing::Complete, FramePacket(d, p.size(), len));
    EXPECT_EQ(p.size(), len);
    const std::string zero = U32(0), huge = U32(MaxPacketLength + 1), max = U32(MaxPacketLength);
    EXPECT_EQ(Framing::Broken, FramePacket(reinterpret_cast<const std::uint8_t*>(zero.data()), 4, len));
    EXPECT_EQ(Framing::Broken, FramePacket(reinterpret_cast<const std::uint8_t*>(huge.data()), 4, len));
    EXPECT_EQ(Framing::Incomplete, FramePacket(reinterpret_cast<const std::uint8_t*>(max.data()), 4, len));
}

} // namespace
