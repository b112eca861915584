// The upper layers of the class chain: the dormant SOCKS layer, line mode
// and the flag wait.
#include <algorithm>
#include <cstring>

#include "net/WSocket.h"

using namespace winsock;

// ---- SOCKS layer ------------------------------------------------------------------

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) { }

void TCustomSocksWSocket::AssignDefaultValue()
{
    TCustomWSocket::AssignDefaultValue();
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel.assign(1, '5'); // (not = "5": GCC 12 warns falsely on it)
}

void TCustomSocksWSocket::Connect()
{
    if (!FSocksServer.empty()) {
        // The SOCKS protocol is not built; say so rather than connect
        // directly behind the user's back.
        RaiseSocketException("Connect: connecting through a SOCKS server is not supported");
        return;
    }
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value)
{
    FSocksServer = Value;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value)
{
    FSocksPort = Value;
}

void TCustomSocksWSocket::TriggerSocksConnected(WORD Error)
{
    if (OnSocksConnected)
        OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::TriggerSocksError(int Error, const std::string& Msg)
{
    if (OnSocksError)
        OnSocksError(this, Error, Msg);
}

// ---- line layer ------------------------------------------------------------------------

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSslWSocket(AOwner) { }

TCustomLineWSocket::~TCustomLineWSocket() = default;

void TCustomLineWSocket::SetLineMode(bool Value)
{
    if (Value == FLineMode)
        return;
    FLineMode = Value;
    if (FRcvdCnt >= 1 || FLineLength >= 1)
        PostMessage(FWindowHandle, WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

LRESULT TCustomLineWSocket::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (Msg != WM_TRIGGER_DATA_AVAILABLE)
        return TCustomSslWSocket::WndProc(Msg, wParam, lParam);
    RunHandlers([this] { DeliverHeld(0); });
    return 0;
}

// Re-delivery of held bytes after LineMode changed. It always ends: in
// line mode only complete lines are delivered (a partial line waits for
// more data); otherwise the handler is called while it keeps reading.
void TCustomLineWSocket::DeliverHeld(WORD Error)
{
    if (FLineMode && !FLineEnd.empty()) {
        FLineLength = 0;
        DeliverLines(0, Error);
        return;
    }
    FLineLength = 0;
    while (FRcvdCnt > 0) {
        int before = FRcvdCnt;
        bool taken = false;
        if (!CallOut([&] { taken = TCustomSslWSocket::TriggerDataAvailable(Error); }))
            return;
        if (!taken)
            break;
        if (FRcvdCnt >= before)
            break; // the handler left the bytes: they wait for its next read
    }
}

int TCustomLineWSocket::GetRcvdCount()
{
    if (FLineMode && FLineLength > 0)
        return FLineLength;
    if (!FLineMode && FRcvdCnt > 0)
        return FRcvdCnt;
    return TCustomSslWSocket::GetRcvdCount();
}

void TCustomLineWSocket::DropHeld(int n)
{
    FRcvStart += n;
    FRcvdCnt -= n;
    if (FRcvdCnt <= 0) {
        FRcvStart = 0;
        FRcvdCnt = 0;
    }
}

int TCustomLineWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    int held = FLineMode ? FLineLength : FRcvdCnt;
    if (held > 0 && BufferSize > 0) {
        int n = std::min(BufferSize, held);
        std::memcpy(Buffer, Held(), static_cast<std::size_t>(n));
        DropHeld(n);
        if (FLineMode)
            FLineLength -= n;
        ++RecvCalls;
        return n;
    }
    if (FLineMode && FLineLength == 0 && FRcvdCnt > 0) {
        // Between lines, nothing is handed out; the next line comes with
        // its own notification.
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    return TCustomSslWSocket::DoRecv(Buffer, BufferSize, Flags);
}

namespace {
// The most one read notification takes into the line buffer: with the
// line limit this bounds what the layer holds.
constexpr winsock::u_long LineReadMax = 65536;
} // namespace

bool TCustomLineWSocket::TriggerDataAvailable(WORD Error)
{
    if (!FLineMode || FLineEnd.empty())
        return TCustomSslWSocket::TriggerDataAvailable(Error);

    winsock::u_long n = 0;
    if (ioctlsocket(FHSocket, FIONREAD, &n) == SOCKET_ERROR || n < 1)
        return true;
    n = std::min(n, LineReadMax);
    // Move the held bytes (a partial line) to the front before appending.
    if (FRcvStart > 0) {
        std::memmove(FRcvBuf.data(), Held(), static_cast<std::size_t>(FRcvdCnt));
        FRcvStart = 0;
    }
    int oldEnd = FRcvdCnt;
    FRcvBuf.resize(static_cast<std::size_t>(FRcvdCnt) + n + 1);
    int r = TCustomSslWSocket::DoRecv(FRcvBuf.data() + FRcvdCnt, static_cast<int>(n), 0);
    if (r <= 0) {
        if (r < 0)
            FLastError = WSAGetLastError();
        return true;
    }
    FReadCount += r;
    FRcvdCnt += r;
    FRcvBuf[static_cast<std::size_t>(FRcvdCnt)] = '\0';
    if (FLineEdit || FLineEcho) {
        int held = 0;
        if (!CallOut([&] { held = EditLine(oldEnd); }))
            return true;
        FRcvdCnt = held;
        // Backspaces may have removed bytes held from earlier reads, and
        // what followed them took their place: search from there.
        if (FLineEdit)
            oldEnd = std::min(oldEnd, FEditLow);
        oldEnd = std::min(oldEnd, FRcvdCnt);
    }
    int from = std::max(0, oldEnd - static_cast<int>(FLineEnd.size()));
    DeliverLines(from, Error);
    return true;
}

int TCustomLineWSocket::EditLine(int from)
{
    if (!FLineEdit) {
        // (A send that failed has closed the socket and emptied the buffer.)
        if (FLineEcho && FRcvdCnt > from && !CallOut([&] { (void)Send(Held() + from, FRcvdCnt - from); }))
            return 0;
        return FRcvdCnt;
    }
    // Edited from a copy: a tab writes up to 8 bytes for the one it
    // replaces, which in place would overwrite bytes not yet looked at.
    const std::string in(Held() + from, static_cast<std::size_t>(FRcvdCnt - from));
    FRcvBuf.resize(static_cast<std::size_t>(FRcvStart) + static_cast<std::size_t>(from) + in.size() * 8 + 1);
    char* buf = Held();
    std::string echo;
    int out = from;
    FEditLow = from;
    // Where the line being edited starts: tabs count columns from there,
    // and a backspace never reaches into the line before (whether that one
    // came in the same read or has been delivered already).
    const int endLen = static_cast<int>(FLineEnd.size());
    int lineStart = 0;
    {
        const char* hit = buf;
        const char* last = buf + from;
        for (;;) {
            const char* next = endLen ? std::search(hit, last, FLineEnd.begin(), FLineEnd.end()) : last;
            if (next == last)
                break;
            hit = next + endLen;
            lineStart = static_cast<int>(hit - buf);
        }
    }
    for (char c : in) {
        if (c == 8) {
            if (out > lineStart) {
                --out;
                FEditLow = std::min(FEditLow, out);
                echo += "\b \b";
            }
        } else if (c == 9) {
            do {
                buf[out++] = ' ';
                echo += ' ';
            } while ((out - lineStart) % 8 != 0);
        } else {
            buf[out++] = c;
            echo += c;
            if (endLen > 0 && out - lineStart >= endLen &&
                std::memcmp(buf + out - endLen, FLineEnd.data(), static_cast<std::size_t>(endLen)) == 0)
                lineStart = out;
        }
    }
    buf[out] = '\0';
    FRcvdCnt = out;
    // (A send that failed has closed the socket and emptied the buffer.)
    if (FLineEcho && !echo.empty() && !CallOut([&] { (void)SendStr(echo); }))
        return 0;
    return FRcvdCnt;
}

bool TCustomLineWSocket::DeliverPiece(int len, WORD Error)
{
    FLineLength = len;
    // The handler reads the line (DoRecv serves it from the front); one
    // that stops reading drops the rest of the line.
    while (FLineLength > 0) {
        int before = FLineLength;
        bool taken = false;
        if (!CallOut([&] { taken = TCustomSslWSocket::TriggerDataAvailable(Error); }))
            return false;
        if (!taken)
            break;
        if (FLineLength >= before)
            break;
    }
    if (!FLineMode) {
        // Switched off by the handler: the rest of the line stays held and
        // is delivered as plain bytes.
        FLineLength = 0;
        return true;
    }
    if (FLineLength > 0) {
        DropHeld(std::min(FLineLength, FRcvdCnt));
        FLineLength = 0;
    }
    return true;
}

bool TCustomLineWSocket::DeliverLines(int from, WORD Error)
{
    for (;;) {
        if (FRcvdCnt <= 0 || !FLineMode || FLineEnd.empty())
            return true; // switched off by the handler: the rest waits
        const char* base = Held();
        const char* end = base + FRcvdCnt;
        const char* hit = std::search(base + std::min(from, FRcvdCnt), end, FLineEnd.begin(), FLineEnd.end());
        if (hit == end)
            break;
        int lineLen = static_cast<int>(hit - base) + static_cast<int>(FLineEnd.size());
        if (!DeliverPiece(lineLen, Error))
            return false;
        from = 0;
    }
    // No line end in what is held. At the limit the bytes go to the handler
    // as they are, but for a tail that may begin a line end.
    if (FRcvdCnt >= FLineLimit) {
        if (!CallOut(&TCustomLineWSocket::TriggerLineTooLong, this))
            return false;
        int keep = static_cast<int>(FLineEnd.size()) - 1;
        if (FLineMode && FRcvdCnt >= FLineLimit && FRcvdCnt > keep)
            return DeliverPiece(FRcvdCnt - keep, Error);
    }
    return true;
}

void TCustomLineWSocket::TriggerLineTooLong()
{
    if (OnLineTooLong)
        OnLineTooLong(this);
}

void TCustomLineWSocket::TriggerSessionClosed(WORD Error)
{
    if (FLineMode && FRcvdCnt > 0) {
        // A last line without its line end still reaches the handler.
        if (!DeliverPiece(FRcvdCnt, Error))
            return;
    }
    FRcvBuf.clear();
    FRcvBuf.shrink_to_fit();
    FRcvStart = 0;
    FRcvdCnt = 0;
    FLineLength = 0;
    TCustomSslWSocket::TriggerSessionClosed(Error);
}

// ---- wait layer --------------------------------------------------------------------------

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) { }

int TCustomSyncWSocket::Synchronize(const std::function<void()>& Proc, bool& Flag)
{
    Flag = false;
    if (Proc)
        Proc();
    return WaitUntilDone(Flag);
}

int TCustomSyncWSocket::WaitUntilDone(bool& Flag)
{
    FTimeStop = GetTickCount() + static_cast<DWORD>(FTimeout);
    while (!Flag) {
        if (FTimeout > 0 && static_cast<std::int32_t>(GetTickCount() - FTimeStop) > 0)
            return WSOCKET_WAIT_TIMEOUT;
        if (IsTerminating() || FTerminated)
            return WSOCKET_WAIT_TIMEOUT;
        // Flag belongs to the caller, not to this socket.
        const bool lives = CallOut(&TCustomSyncWSocket::MessagePump, this);
        if (Flag)
            break;
        if (!lives)
            return WSOCKET_WAIT_TIMEOUT; // destroyed while we waited
        // Idle until something arrives, instead of spinning.
        int wait = 1000;
        if (FTimeout > 0) {
            auto left = static_cast<std::int32_t>(FTimeStop - GetTickCount());
            // At least 1 ms: on the deadline's own millisecond the
            // timeout has not passed yet, and 0 would spin through it.
            wait = std::clamp(left, 1, 1000);
        }
        // Inside another program's loop the wait runs handlers too.
        const bool waited = CallOut([wait] { WaitMessage(wait); });
        if (Flag)
            break;
        if (!waited)
            return WSOCKET_WAIT_TIMEOUT;
    }
    return 0;
}
