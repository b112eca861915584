// The SFTP packet reader, over a stream of server bytes: the stream is cut
// into packets as the client cuts it and each packet is read. Besides the
// sanitizers it checks that a packet is never complete before all its bytes
// are there, that a packet read whole fails one byte short, and that what
// a reply holds fits in the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sftp/SftpPacket.h"

using namespace sftp;

namespace {

void Expect(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t pos = 0;
    while (pos < size) {
        std::size_t length = 0;
        const Framing f = FramePacket(data + pos, size - pos, length);
        if (f != Framing::Complete)
            break;
        Expect(length >= 5 && length <= size - pos && length <= MaxPacketLength + 4);
        std::size_t shorter = 0;
        Expect(FramePacket(data + pos, length - 1, shorter) == Framing::Incomplete);
        Expect(!ParseReply(data + pos, length - 1));
        if (auto r = ParseReply(data + pos, length)) {
            Expect(r->type == data[pos + 4]);
            std::size_t held = r->message.size() + r->handle.size() + r->data.size();
            for (const auto& [name, value] : r->extensions)
                held += name.size() + value.size();
            for (const NameEntry& e : r->names)
                held += e.filename.size() + e.longname.size() + 12;
            Expect(held <= length);
            for (const NameEntry& e : r->names)
                Expect(!e.attrs.IsDirectory() || e.attrs.HasPermissions());
        }
        pos += length;
    }
    return 0;
}
