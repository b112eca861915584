#include "sftp/SftpPacket.h"

namespace sftp {

namespace {

// Reads fields front to back; any read past the end fails and every later
// read fails too, so a parse checks `ok` once at the end.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) { }

    bool ok() const { return ok_; }
    std::size_t left() const { return left_; }

    std::uint8_t U8()
    {
        if (!Need(1))
            return 0;
        std::uint8_t v = p_[0];
        Skip(1);
        return v;
    }
    std::uint32_t U32()
    {
        if (!Need(4))
            return 0;
        std::uint32_t v = (std::uint32_t(p_[0]) << 24) | (std::uint32_t(p_[1]) << 16) | (std::uint32_t(p_[2]) << 8) |
                          std::uint32_t(p_[3]);
        Skip(4);
        return v;
    }
    std::uint64_t U64()
    {
        std::uint64_t hi = U32();
        return (hi << 32) | U32();
    }
    std::string String()
    {
        std::uint32_t n = U32();
        if (!Need(n))
            return {};
        std::string s(reinterpret_cast<const char*>(p_), n);
        Skip(n);
        return s;
    }

private:
    bool Need(std::size_t n)
    {
        if (ok_ && n <= left_)
            return true;
        ok_ = false;
        return false;
    }
    void Skip(std::size_t n)
    {
        p_ += n;
        left_ -= n;
    }

    const std::uint8_t* p_;
    std::size_t left_;
    bool ok_ = true;
};

Attrs ReadAttrs(Reader& r)
{
    Attrs a;
    a.flags = r.U32();
    if (a.flags & FILEXFER_ATTR_SIZE)
        a.size = r.U64();
    if (a.flags & FILEXFER_ATTR_UIDGID) {
        a.uid = r.U32();
        a.gid = r.U32();
    }
    if (a.flags & FILEXFER_ATTR_PERMISSIONS)
        a.permissions = r.U32();
    if (a.flags & FILEXFER_ATTR_ACMODTIME) {
        a.atime = r.U32();
        a.mtime = r.U32();
    }
    if (a.flags & FILEXFER_ATTR_EXTENDED) {
        // Read and dropped; each pair takes at least 8 bytes, so a count
        // larger than that cannot be true and ends the loop early.
        std::uint32_t count = r.U32();
        for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
            r.String();
            r.String();
        }
    }
    return a;
}

void PutU32(std::string& out, std::uint32_t v)
{
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(b, 4);
}

void PutU64(std::string& out, std::uint64_t v)
{
    PutU32(out, std::uint32_t(v >> 32));
    PutU32(out, std::uint32_t(v));
}

void PutString(std::string& out, std::string_view s)
{
    PutU32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
}

// Starts a packet: a length to be filled in by End, the type, the id.
std::size_t Begin(std::string& out, std::uint8_t type, std::uint32_t id)
{
    std::size_t start = out.size();
    PutU32(out, 0);
    out.push_back(char(type));
    PutU32(out, id);
    return start;
}

void End(std::string& out, std::size_t start)
{
    const std::uint32_t len = static_cast<std::uint32_t>(out.size() - start - 4);
    out[start] = char(len >> 24);
    out[start + 1] = char(len >> 16);
    out[start + 2] = char(len >> 8);
    out[start + 3] = char(len);
}

} // namespace

Framing FramePacket(const std::uint8_t* data, std::size_t size, std::size_t& length)
{
    if (size < 4)
        return Framing::Incomplete;
    Reader r(data, 4);
    const std::uint32_t n = r.U32();
    if (n == 0 || n > MaxPacketLength)
        return Framing::Broken;
    length = std::size_t(n) + 4;
    return size >= length ? Framing::Complete : Framing::Incomplete;
}

std::optional<Reply> ParseReply(const std::uint8_t* data, std::size_t size)
{
    Reader r(data, size);
    const std::uint32_t length = r.U32();
    if (!r.ok() || length != r.left() || length == 0)
        return std::nullopt;
    Reply reply;
    reply.type = r.U8();
    switch (reply.type) {
    case FXP_VERSION:
        reply.version = r.U32();
        while (r.ok() && r.left() > 0) {
            std::string name = r.String();
            std::string value = r.String();
            if (r.ok())
                reply.extensions.emplace_back(std::move(name), std::move(value));
        }
        break;
    case FXP_STATUS:
        reply.id = r.U32();
        reply.code = r.U32();
        // Servers of the oldest kind end the packet after the code.
        if (r.ok() && r.left() > 0) {
            reply.message = r.String();
            r.String(); // language tag
        }
        break;
    case FXP_HANDLE:
        reply.id = r.U32();
        reply.handle = r.String();
        // A handle is at most 256 bytes.
        if (reply.handle.size() > 256)
            return std::nullopt;
        break;
    case FXP_DATA:
        reply.id = r.U32();
        reply.data = r.String();
        break;
    case FXP_NAME: {
        reply.id = r.U32();
        const std::uint32_t count = r.U32();
        // An entry takes at least 12 bytes (two empty strings and flags).
        if (!r.ok() || count > r.left() / 12)
            return std::nullopt;
        reply.names.reserve(count);
        for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
            NameEntry e;
            e.filename = r.String();
            e.longname = r.String();
            e.attrs = ReadAttrs(r);
            reply.names.push_back(std::move(e));
        }
        break;
    }
    case FXP_ATTRS:
        reply.id = r.U32();
        reply.attrs = ReadAttrs(r);
        break;
    default:
        // Including EXTENDED_REPLY: this client sends no extended request.
        return std::nullopt;
    }
    if (!r.ok() || r.left() != 0)
        return std::nullopt;
    return reply;
}

void AppendInit(std::string& out)
{
    PutU32(out, 5);
    out.push_back(char(FXP_INIT));
    PutU32(out, ProtocolVersion);
}

void AppendOpen(std::string& out, std::uint32_t id, std::string_view path, std::uint32_t pflags)
{
    std::size_t start = Begin(out, FXP_OPEN, id);
    PutString(out, path);
    PutU32(out, pflags);
    PutU32(out, 0); // no attributes: the server's defaults
    End(out, start);
}

void AppendPathRequest(std::string& out, std::uint8_t type, std::uint32_t id, std::string_view path)
{
    std::size_t start = Begin(out, type, id);
    PutString(out, path);
    End(out, start);
}

void AppendMkdir(std::string& out, std::uint32_t id, std::string_view path)
{
    std::size_t start = Begin(out, FXP_MKDIR, id);
    PutString(out, path);
    PutU32(out, 0);
    End(out, start);
}

void AppendHandleRequest(std::string& out, std::uint8_t type, std::uint32_t id, std::string_view handle)
{
    std::size_t start = Begin(out, type, id);
    PutString(out, handle);
    End(out, start);
}

void AppendWrite(std::string& out, std::uint32_t id, std::string_view handle, std::uint64_t offset, const void* data,
                 std::size_t size)
{
    std::size_t start = Begin(out, FXP_WRITE, id);
    PutString(out, handle);
    PutU64(out, offset);
    PutString(out, std::string_view(static_cast<const char*>(data), size));
    End(out, start);
}

void AppendSetTimes(std::string& out, std::uint32_t id, std::string_view path, std::uint32_t atime, std::uint32_t mtime)
{
    std::size_t start = Begin(out, FXP_SETSTAT, id);
    PutString(out, path);
    PutU32(out, FILEXFER_ATTR_ACMODTIME);
    PutU32(out, atime);
    PutU32(out, mtime);
    End(out, start);
}

void AppendRename(std::string& out, std::uint32_t id, std::string_view from, std::string_view to)
{
    std::size_t start = Begin(out, FXP_RENAME, id);
    PutString(out, from);
    PutString(out, to);
    End(out, start);
}

void AppendPosixRename(std::string& out, std::uint32_t id, std::string_view from, std::string_view to)
{
    std::size_t start = Begin(out, FXP_EXTENDED, id);
    PutString(out, PosixRenameExtension);
    PutString(out, from);
    PutString(out, to);
    End(out, start);
}

std::string TypeName(std::uint8_t type)
{
    switch (type) {
    case FXP_VERSION: return "VERSION";
    case FXP_STATUS: return "STATUS";
    case FXP_HANDLE: return "HANDLE";
    case FXP_DATA: return "DATA";
    case FXP_NAME: return "NAME";
    case FXP_ATTRS: return "ATTRS";
    case FXP_EXTENDED_REPLY: return "EXTENDED_REPLY";
    default: return "type " + std::to_string(type);
    }
}

} // namespace sftp
