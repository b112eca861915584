// The upper layers of the class chain: the dormant SOCKS layer, line mode
// and the flag wait.
#include <algorithm>
#include <cstring>

#include "net/WSocket.h"

using namespace winsock;

// ---- SOCKS layer ------------------------------------------------------------------

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {}

void TCustomSocksWSocket::AssignDefaultValue()
{
    TCustomWSocket::AssignDefaultValue();
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel.assign(1, '5');  // (not = "5": GCC 12 warns falsely on it)
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

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) {}

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
        return TCustomSocksWSocket::WndProc(Msg, wParam, lParam);
    auto live = Alive();
    try {
        DeliverHeld(0);
    } catch (const std::exception& E) {
        if (live)
            HandleBackgroundException(E);
    } catch (...) {
        if (live)
            HandleBackgroundException(Exception("Unknown exception in a socket event handler"));
    }
    return 0;
}

// Re-delivery of held bytes after LineMode changed. It always ends: in
// line mode only complete lines are delivered (a partial line waits for
// more data); otherwise the handler is called while it keeps reading.
void TCustomLineWSocket::DeliverHeld(WORD Error)
{
    auto live = Alive();
    if (FLineMode && !FLineEnd.empty()) {
        FLineLength = 0;
        DeliverLines(0, Error);
        return;
    }
    FLineLength = 0;
    while (FRcvdCnt > 0) {
        int before = FRcvdCnt;
        if (!TCustomSocksWSocket::TriggerDataAvailable(Error))
            break;
        if (!live)
            return;
        if (FRcvdCnt >= before)
            break;  // the handler left the bytes: they wait for its next read
    }
}

int TCustomLineWSocket::GetRcvdCount()
{
    if (FLineMode && FLineLength > 0)
        return FLineLength;
    if (!FLineMode && FRcvdCnt > 0)
        return FRcvdCnt;
    return TCustomSocksWSocket::GetRcvdCount();
}

int TCustomLineWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    int held = FLineMode ? FLineLength : FRcvdCnt;
    if (held > 0 && BufferSize > 0) {
        int n = std::min(BufferSize, held);
        std::memcpy(Buffer, FRcvBuf.data(), static_cast<std::size_t>(n));
        std::memmove(FRcvBuf.data(), FRcvBuf.data() + n, static_cast<std::size_t>(FRcvdCnt - n));
        FRcvdCnt -= n;
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
    return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
}

bool TCustomLineWSocket::TriggerDataAvailable(WORD Error)
{
    if (!FLineMode || FLineEnd.empty())
        return TCustomSocksWSocket::TriggerDataAvailable(Error);

    winsock::u_long n = 0;
    if (ioctlsocket(FHSocket, FIONREAD, &n) == SOCKET_ERROR || n < 1)
        return true;
    int oldEnd = FRcvdCnt;
    FRcvBuf.resize(static_cast<std::size_t>(FRcvdCnt) + n + 1);
    int r = TCustomSocksWSocket::DoRecv(FRcvBuf.data() + FRcvdCnt, static_cast<int>(n), 0);
    if (r <= 0) {
        if (r < 0)
            FLastError = WSAGetLastError();
        return true;
    }
    FReadCount += r;
    FRcvdCnt += r;
    FRcvBuf[static_cast<std::size_t>(FRcvdCnt)] = '\0';
    if (FLineEdit || FLineEcho)
        FRcvdCnt = EditLine(oldEnd);
    int from = std::max(0, oldEnd - static_cast<int>(FLineEnd.size()));
    DeliverLines(from, Error);
    return true;
}

int TCustomLineWSocket::EditLine(int from)
{
    auto live = Alive();
    if (!FLineEdit) {
        if (FLineEcho && FRcvdCnt > from)
            Send(FRcvBuf.data() + from, FRcvdCnt - from);
        return FRcvdCnt;
    }
    std::string echo;
    int out = from;
    for (int i = from; i < FRcvdCnt; ++i) {
        char c = FRcvBuf[static_cast<std::size_t>(i)];
        if (c == 8) {
            if (out > 0) {
                --out;
                echo += "\b \b";
            }
        } else if (c == 9) {
            do {
                FRcvBuf[static_cast<std::size_t>(out++)] = ' ';
                echo += ' ';
            } while (out % 8 != 0);
        } else {
            // Tabs may have grown the line past the bytes read so far.
            if (out >= static_cast<int>(FRcvBuf.size()) - 1)
                FRcvBuf.resize(static_cast<std::size_t>(out) + 2);
            FRcvBuf[static_cast<std::size_t>(out++)] = c;
            echo += c;
        }
        if (out >= static_cast<int>(FRcvBuf.size()) - 1)
            FRcvBuf.resize(static_cast<std::size_t>(out) + 2);
    }
    FRcvBuf[static_cast<std::size_t>(out)] = '\0';
    if (FLineEcho && !echo.empty() && live)
        SendStr(echo);
    return out;
}

bool TCustomLineWSocket::DeliverLines(int from, WORD Error)
{
    auto live = Alive();
    for (;;) {
        const char* base = FRcvBuf.data();
        const char* end = base + FRcvdCnt;
        const char* hit = std::search(base + from, end, FLineEnd.begin(), FLineEnd.end());
        if (hit == end)
            return true;
        int lineLen = static_cast<int>(hit - base) + static_cast<int>(FLineEnd.size());
        FLineLength = lineLen;
        // The handler reads the line (DoRecv serves it from the front);
        // one that stops reading drops the rest of the line.
        while (FLineLength > 0) {
            int before = FLineLength;
            if (!TCustomSocksWSocket::TriggerDataAvailable(Error))
                break;
            if (!live)
                return false;
            if (FLineLength >= before)
                break;
        }
        if (FLineLength > 0) {
            int drop = FLineLength;
            std::memmove(FRcvBuf.data(), FRcvBuf.data() + drop, static_cast<std::size_t>(FRcvdCnt - drop));
            FRcvdCnt -= drop;
            FLineLength = 0;
        }
        from = 0;
        if (!FLineMode)
            return true;  // switched off by the handler: the rest waits
    }
}

void TCustomLineWSocket::TriggerSessionClosed(WORD Error)
{
    auto live = Alive();
    if (FLineMode && FRcvdCnt > 0) {
        // A last line without its line end still reaches the handler.
        FLineLength = FRcvdCnt;
        while (FLineLength > 0) {
            int before = FLineLength;
            if (!TCustomSocksWSocket::TriggerDataAvailable(Error))
                break;
            if (!live)
                return;
            if (FLineLength >= before)
                break;
        }
    }
    FRcvBuf.clear();
    FRcvBuf.shrink_to_fit();
    FRcvdCnt = 0;
    FLineLength = 0;
    TCustomSocksWSocket::TriggerSessionClosed(Error);
}

// ---- wait layer --------------------------------------------------------------------------

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

int TCustomSyncWSocket::Synchronize(const std::function<void()>& Proc, bool& Flag)
{
    Flag = false;
    if (Proc)
        Proc();
    return WaitUntilDone(Flag);
}

int TCustomSyncWSocket::WaitUntilDone(bool& Flag)
{
    auto live = Alive();
    FTimeStop = GetTickCount() + static_cast<DWORD>(FTimeout);
    while (!Flag) {
        if (FTimeout > 0 && static_cast<std::int32_t>(GetTickCount() - FTimeStop) > 0)
            return WSOCKET_WAIT_TIMEOUT;
        if (IsTerminating() || FTerminated)
            return WSOCKET_WAIT_TIMEOUT;
        MessagePump();
        if (Flag)
            break;
        if (!live)
            return WSOCKET_WAIT_TIMEOUT;  // destroyed while we waited
        // Idle until something arrives, instead of spinning.
        int wait = 1000;
        if (FTimeout > 0) {
            auto left = static_cast<std::int32_t>(FTimeStop - GetTickCount());
            // At least 1 ms: on the deadline's own millisecond the
            // timeout has not passed yet, and 0 would spin through it.
            wait = std::clamp(left, 1, 1000);
        }
        WaitMessage(wait);
    }
    return 0;
}
