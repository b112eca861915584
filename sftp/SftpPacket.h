// SFTP version 3 packets: building the client's requests and reading the
// server's replies. Pure functions over bytes, no I/O.
//
// A packet is a uint32 length (of what follows), a type byte, and for every
// packet but INIT and VERSION a uint32 request id; strings are a uint32
// length and that many bytes; integers are big-endian. Every length read
// is checked against the bytes that are really there before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sftp {

// Packet types.
enum : std::uint8_t {
    FXP_INIT = 1,
    FXP_VERSION = 2,
    FXP_OPEN = 3,
    FXP_CLOSE = 4,
    FXP_READ = 5,
    FXP_WRITE = 6,
    FXP_LSTAT = 7,
    FXP_FSTAT = 8,
    FXP_SETSTAT = 9,
    FXP_FSETSTAT = 10,
    FXP_OPENDIR = 11,
    FXP_READDIR = 12,
    FXP_REMOVE = 13,
    FXP_MKDIR = 14,
    FXP_RMDIR = 15,
    FXP_REALPATH = 16,
    FXP_STAT = 17,
    FXP_RENAME = 18,
    FXP_STATUS = 101,
    FXP_HANDLE = 102,
    FXP_DATA = 103,
    FXP_NAME = 104,
    FXP_ATTRS = 105,
    FXP_EXTENDED = 200,
    FXP_EXTENDED_REPLY = 201,
};

// Status codes.
enum : std::uint32_t {
    FX_OK = 0,
    FX_EOF = 1,
    FX_NO_SUCH_FILE = 2,
    FX_PERMISSION_DENIED = 3,
    FX_FAILURE = 4,
    FX_BAD_MESSAGE = 5,
    FX_NO_CONNECTION = 6,
    FX_CONNECTION_LOST = 7,
    FX_OP_UNSUPPORTED = 8,
};

// OPEN flags.
enum : std::uint32_t {
    FXF_READ = 0x01,
    FXF_WRITE = 0x02,
    FXF_APPEND = 0x04,
    FXF_CREAT = 0x08,
    FXF_TRUNC = 0x10,
    FXF_EXCL = 0x20,
};

// Which attributes are present.
enum : std::uint32_t {
    FILEXFER_ATTR_SIZE = 0x01,
    FILEXFER_ATTR_UIDGID = 0x02,
    FILEXFER_ATTR_PERMISSIONS = 0x04,
    FILEXFER_ATTR_ACMODTIME = 0x08,
    FILEXFER_ATTR_EXTENDED = 0x80000000u,
};

inline constexpr std::uint32_t ProtocolVersion = 3;

// The largest packet accepted from the server (its length field). OpenSSH
// answers with at most 256 KiB; a longer claim is a broken stream.
inline constexpr std::uint32_t MaxPacketLength = 256 * 1024 + 1024;

struct Attrs {
    std::uint32_t flags = 0;
    std::uint64_t size = 0;
    std::uint32_t uid = 0, gid = 0;
    std::uint32_t permissions = 0;
    std::uint32_t atime = 0, mtime = 0;

    bool HasPermissions() const { return flags & FILEXFER_ATTR_PERMISSIONS; }
    // Known to be a directory (the permissions carry the file type).
    bool IsDirectory() const { return HasPermissions() && (permissions & 0170000u) == 0040000u; }
    bool IsLink() const { return HasPermissions() && (permissions & 0170000u) == 0120000u; }
};

struct NameEntry {
    std::string filename; // bytes as the server sent them
    std::string longname;
    Attrs attrs;
};

// A reply from the server, read whole.
struct Reply {
    std::uint8_t type = 0;
    std::uint32_t id = 0;                                        // not for VERSION
    std::uint32_t version = 0;                                   // VERSION
    std::vector<std::pair<std::string, std::string>> extensions; // VERSION
    std::uint32_t code = 0;                                      // STATUS
    std::string message;                                         // STATUS (may be absent: empty)
    std::string handle;                                          // HANDLE
    std::string data;                                            // DATA
    std::vector<NameEntry> names;                                // NAME
    Attrs attrs;                                                 // ATTRS
};

// Where the first packet of a stream stands.
enum class Framing {
    Incomplete, // fewer bytes than the packet needs: read more
    Complete,   // `length` bytes make the packet (its length field included)
    Broken,     // a length of 0 or over MaxPacketLength: the stream is unusable
};
Framing FramePacket(const std::uint8_t* data, std::size_t size, std::size_t& length);

// Reads one whole packet (length field included, exactly as FramePacket
// measured it). Nullopt when it is not a well-formed reply: an unknown
// type, a field running past the end, bytes left over, or a count that
// cannot fit in what is there. Never reads outside [data, data + size).
std::optional<Reply> ParseReply(const std::uint8_t* data, std::size_t size);

// ---- requests ---------------------------------------------------------------

// Each appends one whole packet to `out`.
void AppendInit(std::string& out);
// OPEN, OPENDIR, REALPATH, STAT, LSTAT, REMOVE, RMDIR: a path (and for
// OPEN the flags and empty attributes; for MKDIR empty attributes).
void AppendOpen(std::string& out, std::uint32_t id, std::string_view path, std::uint32_t pflags);
void AppendPathRequest(std::string& out, std::uint8_t type, std::uint32_t id, std::string_view path);
void AppendMkdir(std::string& out, std::uint32_t id, std::string_view path);
// CLOSE, READDIR, FSTAT: a handle.
void AppendHandleRequest(std::string& out, std::uint8_t type, std::uint32_t id, std::string_view handle);
// WRITE: the handle, the offset and the data.
void AppendWrite(std::string& out, std::uint32_t id, std::string_view handle, std::uint64_t offset, const void* data,
                 std::size_t size);

// SETSTAT of a path with only the access and modification times.
void AppendSetTimes(std::string& out, std::uint32_t id, std::string_view path, std::uint32_t atime,
                    std::uint32_t mtime);
// RENAME: version 3 refuses a target that exists.
void AppendRename(std::string& out, std::uint32_t id, std::string_view from, std::string_view to);
// The extension that renames over an existing target in one step, where
// the server lists it in its VERSION reply.
inline constexpr std::string_view PosixRenameExtension = "posix-rename@openssh.com";
void AppendPosixRename(std::string& out, std::uint32_t id, std::string_view from, std::string_view to);

// The name of a packet type for the dialogue ("STATUS", "NAME"; "type 77").
std::string TypeName(std::uint8_t type);

} // namespace sftp
