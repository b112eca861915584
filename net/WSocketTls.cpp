// The TLS layer of the socket (being built: passes everything through).
#include "net/SslContext.h"
#include "net/WSocket.h"

struct TCustomSslWSocket::Impl { };

TCustomSslWSocket::TCustomSslWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner) { }
TCustomSslWSocket::~TCustomSslWSocket() = default;

void TCustomSslWSocket::SetSslEnable(bool Value)
{
    FSslEnable = Value;
}
TSslSession TCustomSslWSocket::SslSession() const
{
    return nullptr;
}
void TCustomSslWSocket::StartSslHandshake() { }
void TCustomSslWSocket::Close()
{
    TCustomSocksWSocket::Close();
}
void TCustomSslWSocket::ShutDown(int How)
{
    TCustomSocksWSocket::ShutDown(How);
}
int TCustomSslWSocket::Resume()
{
    return TCustomSocksWSocket::Resume();
}
std::int64_t TCustomSslWSocket::UnackedSendBytes()
{
    return TCustomSocksWSocket::UnackedSendBytes();
}
LRESULT TCustomSslWSocket::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return TCustomSocksWSocket::WndProc(Msg, wParam, lParam);
}
void TCustomSslWSocket::InternalClose(bool bShut, WORD Error)
{
    TCustomSocksWSocket::InternalClose(bShut, Error);
}
int TCustomSslWSocket::RealSend(const void* Data, int Len)
{
    return TCustomSocksWSocket::RealSend(Data, Len);
}
int TCustomSslWSocket::DoRecv(void* Buffer, int BufferSize, int Flags)
{
    return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
}
bool TCustomSslWSocket::LayerHasData()
{
    return false;
}
void TCustomSslWSocket::TriggerSessionConnected(WORD Error)
{
    TCustomSocksWSocket::TriggerSessionConnected(Error);
}
void TCustomSslWSocket::TriggerSessionClosed(WORD Error)
{
    TCustomSocksWSocket::TriggerSessionClosed(Error);
}
void TCustomSslWSocket::TriggerSslHandshakeDone(WORD Error)
{
    if (OnSslHandshakeDone)
        OnSslHandshakeDone(this, Error);
}
