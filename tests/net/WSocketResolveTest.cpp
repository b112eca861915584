// Resolution of host, port and protocol texts, name lookups, peer queries
// and the error texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LoopUtil.h"
#include "net/WSocket.h"

namespace {

std::string ExceptionText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(no exception)";
}

std::string Dotted(winsock::u_long a)
{
    return winsock::inet_ntoa(winsock::in_addr{a});
}

TEST(WSocketErrorDesc, EveryCodeHasItsFixedText)
{
    const std::vector<std::pair<int, const char*>> table = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Protocol wrong type for socket"},
        {10042, "Protocol not available"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Address not available"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection on reset"},
        {10053, "Connection aborted"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"},
        {11004, "No Data"},
        // Codes without a text.
        {1, "Not a WinSock error"},
        {10001, "Not a WinSock error"},
        {10072, "Not a WinSock error"},
        {10101, "Not a WinSock error"},
        {-10054, "Not a WinSock error"},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(text, WSocketErrorDesc(code)) << "code " << code;
}

TEST(WSocketResolve, HostTexts)
{
    struct Row {
        std::string in;
        std::string dotted; // empty: expect the error below
        std::string error;
    };
    const std::vector<Row> rows = {
        {"127.0.0.1", "127.0.0.1", ""},
        {"  10.1.2.3\t", "10.1.2.3", ""},
        {"255.255.255.255", "255.255.255.255", ""},
        {"localhost", "127.0.0.1", ""},
        {"256.1.1.1", "", ""},
        {"1.2.3.4.5", "",
         "WSocketResolveHost: '1.2.3.4.5' is neither an IPv4 address (four decimal numbers from 0 to 255, such as "
         "192.0.2.1) nor a host name (its last part is a number)"},
        // Forms that other programs read as addresses, each its own way:
        // never connected to.
        {"127.1", "",
         "WSocketResolveHost: '127.1' is not an IPv4 address in the usual form: write four decimal numbers from 0 "
         "to 255 without leading zeros, such as 192.0.2.1 (short, octal and hexadecimal forms are refused because "
         "programs read them differently)"},
        {"2130706433", "", ""},
        {"0177.0.0.1", "", ""},
        {"0x7f.0.0.1", "", ""},
        {"::1", "", "WSocketResolveHost: '::1' is an IPv6 address; this call gives IPv4 only"},
        {"", "", "WSocketResolveHost: '' Invalid Hostname."},
        {std::string(257, 'a'), "", "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname."},
        {"no-such-host.invalid", "", "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid'"},
        {"[::1]", "", "WSocketResolveHost: '[::1]' is an IPv6 address; this call gives IPv4 only"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.in.substr(0, 40));
        if (!r.dotted.empty())
            EXPECT_EQ(r.dotted, Dotted(WSocketResolveHost(r.in)));
        else if (!r.error.empty())
            EXPECT_EQ(r.error, ExceptionText([&] { WSocketResolveHost(r.in); }));
        else
            EXPECT_NE(std::string::npos, ExceptionText([&] {
                                             WSocketResolveHost(r.in);
                                         }).find("is not an IPv4 address in the usual form"));
    }
}

// One reading of host texts for the lookup, the connect and the
// certificate check: what inet_pton takes is an address, what other
// programs would read as an address (or read differently) is refused, the
// rest is a name.
TEST(WSocketReadHost, AddressesNamesAndRefusedForms)
{
    struct Row {
        std::string in;
        THostForm form;
        std::string text; // the address's plain form, the name, or a part of why
    };
    const std::vector<Row> rows = {
        {"127.0.0.1", THostForm::IPv4, "127.0.0.1"},
        {"192.0.2.255", THostForm::IPv4, "192.0.2.255"},
        {"255.255.255.255", THostForm::IPv4, "255.255.255.255"},
        {"0.0.0.0", THostForm::IPv4, "0.0.0.0"},
        {"::1", THostForm::IPv6, "::1"},
        {"2001:DB8:0:0::1", THostForm::IPv6, "2001:db8::1"},
        {"::ffff:127.0.0.1", THostForm::IPv6, "::ffff:127.0.0.1"},
        {"localhost", THostForm::Name, "localhost"},
        {"ftp.example.org.", THostForm::Name, "ftp.example.org."},
        {"1example.org", THostForm::Name, "1example.org"},
        {"127.0.0.1.nip.io", THostForm::Name, "127.0.0.1.nip.io"},
        {"dead.beef", THostForm::Name, "dead.beef"},
        // inet_aton's other forms: short, one number, octal, hexadecimal,
        // leading zeros.
        {"127.1", THostForm::Refused, "usual form"},
        {"127.0.1", THostForm::Refused, "usual form"},
        {"2130706433", THostForm::Refused, "usual form"},
        {"0177.0.0.1", THostForm::Refused, "usual form"},
        {"127.0.0.01", THostForm::Refused, "usual form"},
        {"0x7f.0.0.1", THostForm::Refused, "usual form"},
        {"0X7F000001", THostForm::Refused, "usual form"},
        {"1.2.3.", THostForm::Refused, "nor a host name"},
        // Numbers that are no address and cannot be a name either.
        {"256.1.1.1", THostForm::Refused, "usual form"},
        {"1.2.3.4.5", THostForm::Refused, "nor a host name"},
        {"127.0.0.1.", THostForm::Refused, "nor a host name"},
        {"example.123", THostForm::Refused, "nor a host name"},
        // ':' that makes no IPv6 address.
        {"[::1]", THostForm::IPv6, "::1"},
        {"[2001:DB8::1]", THostForm::IPv6, "2001:db8::1"},
        {"[::ffff:127.0.0.1]", THostForm::IPv6, "::ffff:127.0.0.1"},
        {"[127.0.0.1]", THostForm::Refused, "only an IPv6 address goes in brackets"},
        {"[localhost]", THostForm::Refused, "only an IPv6 address goes in brackets"},
        {"[fe80::1%lo]", THostForm::Refused, "only an IPv6 address goes in brackets"},
        {"[]", THostForm::Refused, "IPv6"},
        {"[::1]:21", THostForm::Refused, "IPv6"},
        {"[::1", THostForm::Refused, "IPv6"},
        {"::1]", THostForm::Refused, "IPv6"},
        {"fe80::1%lo", THostForm::Refused, "IPv6"},
        {"host:21", THostForm::Refused, "IPv6"},
        {"1::2::3", THostForm::Refused, "IPv6"},
        // Blanks and controls (inet_aton takes "127.0.0.1 junk").
        {"127.0.0.1 junk", THostForm::Refused, "blank or a control character"},
        {" localhost", THostForm::Refused, "blank or a control character"},
        {std::string("localhost\0evil", 14), THostForm::Refused, "blank or a control character"},
        {"local\nhost", THostForm::Refused, "blank or a control character"},
        {"", THostForm::Refused, "no host name or address"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.in);
        const THostText host = WSocketReadHost(r.in);
        EXPECT_EQ(static_cast<int>(r.form), static_cast<int>(host.form)) << host.why;
        if (r.form == THostForm::Refused) {
            EXPECT_NE(std::string::npos, host.why.find(r.text)) << host.why;
            EXPECT_EQ(0u, host.length);
        } else {
            EXPECT_EQ(r.text, host.text);
            EXPECT_TRUE(host.why.empty());
            EXPECT_EQ(r.form == THostForm::IPv4 ? 4u : r.form == THostForm::IPv6 ? 16u : 0u, host.length);
        }
    }
    const THostText v4 = WSocketReadHost("192.0.2.7");
    EXPECT_EQ((std::vector<int>{192, 0, 2, 7}), std::vector<int>(v4.bytes, v4.bytes + 4));
    const THostText v6 = WSocketReadHost("::1");
    EXPECT_EQ(1, v6.bytes[15]);
}

TEST(WSocketResolve, NamesUnderInvalidAreNotFoundWithoutAskingAnyone)
{
    // Reserved never to exist: not found at once (11001), where a name
    // server that cannot be reached would give "try again" (11002).
    for (const char* name : {"no-such-host.invalid", "A.Example.INVALID.", "invalid"}) {
        winsock::addrinfo* result = nullptr;
        EXPECT_EQ(winsock::getaddrinfo(name, nullptr, nullptr, &result), winsock::WSAHOST_NOT_FOUND) << name;
        EXPECT_EQ(result, nullptr) << name;
    }
}

TEST(WSocketResolve, PortTexts)
{
    EXPECT_EQ(21u, WSocketResolvePort("21", "tcp"));
    EXPECT_EQ(21u, WSocketResolvePort("21abc", "tcp")) << "digits up to the first non-digit";
    EXPECT_EQ(70000u, WSocketResolvePort("70000", "tcp"));
    EXPECT_EQ(21u, WSocketResolvePort("ftp", "tcp"));
    EXPECT_EQ(21u, WSocketResolvePort(" ftp ", " tcp"));
    EXPECT_EQ(80u, WSocketResolvePort("http", ""));
    EXPECT_EQ("WSocketResolvePort: Invalid Port.", ExceptionText([] { WSocketResolvePort("", "tcp"); }));
    EXPECT_EQ("WSocketResolvePort: Invalid Port.",
              ExceptionText([] { WSocketResolvePort(std::string(32, '1'), "tcp"); }));
    EXPECT_EQ("WSocketResolvePort: Cannot convert port 'nosuchservice'",
              ExceptionText([] { WSocketResolvePort("nosuchservice", "tcp"); }));
}

TEST(WSocketResolve, ProtocolTexts)
{
    EXPECT_EQ(6, WSocketResolveProto("tcp"));
    EXPECT_EQ(17, WSocketResolveProto(" udp "));
    EXPECT_EQ(6, WSocketResolveProto("6"));
    EXPECT_EQ("WSocketResolveProto: Invalid Protocol.", ExceptionText([] { WSocketResolveProto(""); }));
    EXPECT_EQ("WSocketResolveProto: Cannot convert protocol 'nosuchproto'",
              ExceptionText([] { WSocketResolveProto(" nosuchproto"); }));
}

TEST(WSocketResolve, APortAbove65535KeepsItsLow16Bits)
{
    TWSocket s;
    s.SetAddr("127.0.0.1");
    s.SetPort("70000");
    try {
        s.Connect();
    } catch (const ESocketException&) { }
    EXPECT_EQ(4464, WSocketAddrPort(s.RemoteSockAddr()));
    s.Abort();
}

struct Lookups {
    TWSocket s;
    std::vector<int> done;
    Lookups()
    {
        s.OnDnsLookupDone = [this](TObject*, WORD err) { done.push_back(err); };
    }
};

TEST(WSocketDnsLookup, ADottedAddressCompletesInsideTheCall)
{
    Lookups l;
    l.s.DnsLookup("10.0.0.7");
    EXPECT_EQ(std::vector<int>{0}, l.done);
    EXPECT_EQ("10.0.0.7", l.s.DnsResult());
    EXPECT_TRUE(l.s.DnsResultList().empty());
}

// "127.1" and its kind are not taken for 127.0.0.1: the connect would
// reach one address and the certificate check name another, or none.
TEST(WSocketDnsLookup, OtherAddressFormsAreRefusedWithTheReason)
{
    for (const char* text : {"127.1", "127.0.1", "2130706433", "0177.0.0.1", "0x7f.0.0.1"}) {
        SCOPED_TRACE(text);
        Lookups l;
        const std::string why = ExceptionText([&] { l.s.DnsLookup(text); });
        EXPECT_EQ("DNS lookup: '" + std::string(text) +
                      "' is not an IPv4 address in the usual form: write four "
                      "decimal numbers from 0 to 255 without leading zeros, such as 192.0.2.1 (short, octal and "
                      "hexadecimal forms are refused because programs read them differently)",
                  why);
        EXPECT_EQ("", l.s.DnsResult());
        l.s.OnError = [](TObject*) {};
        l.s.DnsLookup(text);
        EXPECT_EQ(std::vector<int>{10022}, l.done);
        EXPECT_EQ("", l.s.DnsResult());
    }
}

TEST(WSocketDnsLookup, AnIPv6AddressIsItsOwnResult)
{
    Lookups l;
    l.s.DnsLookup("0:0::1");
    EXPECT_EQ(std::vector<int>{0}, l.done);
    EXPECT_EQ("::1", l.s.DnsResult());
}

TEST(WSocketDnsLookup, ANameCompletesLaterThroughTheQueue)
{
    Lookups l;
    l.s.DnsLookup("localhost");
    EXPECT_TRUE(l.done.empty());
    ASSERT_TRUE(PumpUntil([&] { return !l.done.empty(); }));
    EXPECT_EQ(std::vector<int>{0}, l.done);
    EXPECT_EQ("127.0.0.1", l.s.DnsResult());
    ASSERT_FALSE(l.s.DnsResultList().empty());
    EXPECT_EQ("127.0.0.1", l.s.DnsResultList().front());
}

TEST(WSocketDnsLookup, AnUnknownNameReportsAHostError)
{
    Lookups l;
    l.s.DnsLookup("no-such-host.invalid");
    ASSERT_TRUE(PumpUntil([&] { return !l.done.empty(); }));
    ASSERT_EQ(1u, l.done.size());
    EXPECT_GE(l.done[0], 11001);
    EXPECT_LE(l.done[0], 11004);
    EXPECT_EQ("", l.s.DnsResult());
}

TEST(WSocketDnsLookup, ASecondLookupCancelsTheFirstSilently)
{
    Lookups l;
    l.s.DnsLookup("localhost");
    l.s.DnsLookup("10.9.8.7");
    EXPECT_EQ(std::vector<int>{0}, l.done);
    // Give the first lookup's helper every chance to report.
    l.s.DnsLookup("localhost");
    ASSERT_TRUE(PumpUntil([&] { return l.done.size() >= 2; }));
    WaitMessage(100);
    PumpPending();
    EXPECT_EQ((std::vector<int>{0, 0}), l.done);
    EXPECT_EQ("127.0.0.1", l.s.DnsResult());
}

TEST(WSocketDnsLookup, CancelReportsInterruptedAndDropsTheResult)
{
    Lookups l;
    l.s.CancelDnsLookup(); // nothing pending: nothing happens
    EXPECT_TRUE(l.done.empty());
    l.s.DnsLookup("localhost");
    l.s.CancelDnsLookup();
    EXPECT_EQ(std::vector<int>{10004}, l.done);
    WaitMessage(200);
    PumpPending();
    EXPECT_EQ(std::vector<int>{10004}, l.done);
    EXPECT_EQ("", l.s.DnsResult());
}

TEST(WSocketDnsLookup, DestroyingTheSocketWithALookupPendingIsSafe)
{
    auto* s = new TWSocket();
    int done = 0;
    s->OnDnsLookupDone = [&](TObject*, WORD) { ++done; };
    s->DnsLookup("localhost");
    delete s; // cancels; the helper's result must not touch the old buffer
    Sleep(100);
    PumpPending();
    WaitMessage(100);
    PumpPending();
    EXPECT_EQ(0, done);
}

TEST(WSocketDnsLookup, AnEmptyNameIsReported)
{
    Lookups l;
    EXPECT_EQ("DNS lookup: invalid host name.", ExceptionText([&] { l.s.DnsLookup(""); }));
    l.s.OnError = [](TObject*) {};
    l.s.DnsLookup("");
    EXPECT_EQ(std::vector<int>{10022}, l.done);
}

TEST(WSocketPeer, QueriesOfASocketThatIsNotConnected)
{
    TWSocket s;
    EXPECT_EQ("error", s.PeerAddr());
    EXPECT_EQ("error", s.PeerPort());
    winsock::sockaddr_in sin{};
    EXPECT_EQ(-1, s.GetPeerName(sin, sizeof sin));
}

} // namespace
