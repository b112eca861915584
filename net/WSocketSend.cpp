// The send queue: data is copied into fixed-size blocks, as much as the
// system takes is sent at once, the rest when FD_WRITE says it can go.
#include <algorithm>
#include <cstring>
#include <limits>

#include "net/WSocket.h"

using namespace winsock;

namespace {
constexpr int DefaultBlockSize = 1514;
} // namespace

// ---- TBuffer -----------------------------------------------------------------------

TBuffer::TBuffer(int Size)
{
    SetBufSize(Size);
}

void TBuffer::SetBufSize(int NewSize)
{
    if (NewSize <= 0)
        NewSize = DefaultBlockSize;
    if (NewSize == FSize && FBuf)
        return;
    auto fresh = std::make_unique<char[]>(static_cast<std::size_t>(NewSize));
    if (FBuf && FWrCount > 0) {
        int keep = std::min(FWrCount, NewSize);
        std::memcpy(fresh.get(), FBuf.get(), static_cast<std::size_t>(keep));
        FWrCount = keep;
        FRdCount = std::min(FRdCount, FWrCount);
    }
    FBuf = std::move(fresh);
    FSize = NewSize;
}

int TBuffer::Write(const void* Data, int Len)
{
    int room = FSize - FWrCount;
    int count = std::min(Len, room);
    if (count <= 0)
        return 0;
    std::memcpy(FBuf.get() + FWrCount, Data, static_cast<std::size_t>(count));
    FWrCount += count;
    return count;
}

const char* TBuffer::Peek(int& Len) const
{
    Len = FWrCount - FRdCount;
    if (Len <= 0) {
        Len = 0;
        return nullptr;
    }
    return FBuf.get() + FRdCount;
}

int TBuffer::Remove(int Len)
{
    int left = FWrCount - FRdCount;
    int count = std::min(Len, left);
    if (count <= 0)
        return 0;
    FRdCount += count;
    if (FRdCount >= FWrCount) {
        // Emptied: reuse the block from its start.
        FRdCount = 0;
        FWrCount = 0;
    }
    return count;
}

// ---- the socket's queue ---------------------------------------------------------------

int TCustomWSocket::Send(const void* Data, int Len)
{
    if (FState != wsConnected) {
        WSASetLastError(WSAENOTCONN);
        SocketError("Send");
        return -1;
    }
    FAllSent = false;
    int result = 0;
    if (Len > 0) {
        PutDataInSendBuffer(Data, Len);
        result = Len;
    }
    if (!CallOut(&TCustomWSocket::TryToSend, this))
        return result;
    // Drained at once: OnDataSent still fires from the message loop, never
    // from inside Send.
    if (FAllSent && FHSocket != INVALID_SOCKET)
        PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket),
                    MAKELPARAM(static_cast<WORD>(FD_WRITE), 0));
    return result;
}

int TCustomWSocket::SendStr(const std::string& Str)
{
    if (Str.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        // Send counts in int; cut down, the length would send some other
        // part of the string, or nothing at all.
        FLastError = WSAEMSGSIZE;
        WSASetLastError(WSAEMSGSIZE);
        RaiseSocketExceptionFmt("SendStr: %zu bytes are more than one send can take (at most %d)", Str.size(),
                                std::numeric_limits<int>::max());
        return -1;
    }
    return Send(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::PutDataInSendBuffer(const void* Data, int Len)
{
    const char* p = static_cast<const char*>(Data);
    if (BufList.empty())
        BufList.push_back(std::make_unique<TBuffer>(FBufSize));
    int written = BufList.back()->Write(p, Len);
    while (written < Len) {
        BufList.push_back(std::make_unique<TBuffer>(FBufSize));
        written += BufList.back()->Write(p + written, Len - written);
    }
}

void TCustomWSocket::TryToSend()
{
    if (FHSocket == INVALID_SOCKET)
        return;
    if (BufList.empty()) {
        // Nothing queued is everything sent (after Send of 0 bytes on a
        // fresh connection too; otherwise Flush would wait for ever).
        FAllSent = true;
        return;
    }
    for (;;) {
        TBuffer* block = BufList.front().get();
        int len = 0;
        const char* data = block->Peek(len);
        if (len <= 0) {
            if (BufList.size() <= 1) {
                // One emptied block stays for reuse.
                FAllSent = true;
                break;
            }
            BufList.pop_front();
            continue;
        }
        int count = RealSend(data, len);
        if (count == 0)
            break;
        if (count == SOCKET_ERROR) {
            int err = WSAGetLastError();
            if (err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN || err == WSAEINVAL ||
                err == WSAECONNABORTED) {
                CloseInvoked = true;
                if (!CallOut([this] { Close(); }))
                    return;
                TriggerSessionClosed(static_cast<WORD>(err));
                return;
            }
            if (err == WSAEWOULDBLOCK)
                break; // stays queued; the next FD_WRITE resumes
            SocketError("TryToSend failed");
            return;
        }
        block->Remove(count);
        if (count < len)
            break;
    }
}

int TCustomWSocket::RealSend(const void* Data, int Len)
{
    return send(FHSocket, static_cast<const char*>(Data), Len, FSendFlags);
}

void TCustomWSocket::Flush()
{
    while (FHSocket != INVALID_SOCKET && !FAllSent) {
        if (!CallOut(&TCustomWSocket::TryToSend, this) || !CallOut(&TCustomWSocket::MessagePump, this))
            return;
        // Until the socket can take more. Inside another program's loop the
        // wait runs handlers too, which may destroy us.
        if (FHSocket != INVALID_SOCKET && !FAllSent && !CallOut([] { WaitMessage(1000); }))
            return;
    }
}

void TCustomWSocket::DeleteBufferedData()
{
    BufList.clear();
}

std::int64_t TCustomWSocket::UnackedSendBytes()
{
    std::int64_t held = 0;
    for (const auto& block : BufList) {
        int len = 0;
        (void)block->Peek(len);
        held += len;
    }
    if (FHSocket == INVALID_SOCKET)
        return held;
    winsock::u_long queued = 0;
    if (QueuedSendBytes(FHSocket, &queued) != 0)
        return -1;
    return held + static_cast<std::int64_t>(queued);
}
