// Name look-ups, the per-thread database entries they return, dotted
// addresses and byte order.
#include "platform/WinsockInternal.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

namespace winsock {
using namespace internal;

// ---- database entries, per thread ------------------------------------------

namespace {

struct HostStore {
    std::string name;
    std::vector<std::uint32_t> addrs;
    std::vector<char*> addrPtrs;
    char* noAliases[1] = {nullptr};
    hostent entry{};
};

struct ServStore {
    std::string name, proto;
    char* noAliases[1] = {nullptr};
    servent entry{};
};

struct ProtoStore {
    std::string name;
    char* noAliases[1] = {nullptr};
    protoent entry{};
};

} // namespace

namespace internal {

namespace {

int LookupError(int rc)
{
    switch (rc) {
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    default: return WSANO_RECOVERY;
    }
}

std::mutex TestHostsLock;
std::vector<std::pair<std::string, std::vector<std::string>>>& TestHosts()
{
    static auto* table = new std::vector<std::pair<std::string, std::vector<std::string>>>();
    return *table;
}

bool SameAddr(const FoundAddr& a, const FoundAddr& b)
{
    return a.len == b.len && std::memcmp(&a.addr, &b.addr, a.len) == 0;
}

void AddOnce(std::vector<FoundAddr>& addrs, const void* sa, socklen_t len)
{
    FoundAddr found;
    std::memcpy(&found.addr, sa, len);
    found.len = len;
    // Only the address counts (a lookup gives no port).
    if (found.addr.ss_family == px::AfInet) {
        reinterpret_cast<px::SockAddrIn*>(&found.addr)->sin_port = 0;
    } else {
        reinterpret_cast<px::SockAddrIn6*>(&found.addr)->sin6_port = 0;
    }
    for (const FoundAddr& a : addrs)
        if (SameAddr(a, found))
            return;
    addrs.push_back(found);
}

// The test table's answer for a name: true when the table knows it.
bool FromTestTable(const std::string& name, int family, std::vector<FoundAddr>& addrs)
{
    std::lock_guard<std::mutex> hold(TestHostsLock);
    for (const auto& [known, texts] : TestHosts()) {
        if (::strcasecmp(known.c_str(), name.c_str()) != 0)
            continue;
        for (const std::string& text : texts) {
            px::SockAddrIn sin{};
            px::SockAddrIn6 sin6{};
            if (family != px::AfInet6 && ::inet_pton(px::AfInet, text.c_str(), &sin.sin_addr) == 1) {
                sin.sin_family = px::AfInet;
                AddOnce(addrs, &sin, sizeof sin);
            } else if (family != px::AfInet && ::inet_pton(px::AfInet6, text.c_str(), &sin6.sin6_addr) == 1) {
                sin6.sin6_family = px::AfInet6;
                AddOnce(addrs, &sin6, sizeof sin6);
            }
        }
        return true;
    }
    return false;
}

} // namespace

// RFC 6761 6.4: names under "invalid." never exist, and a lookup API
// answers so at once, without asking any name server.
static bool IsReservedInvalid(std::string name)
{
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    constexpr std::string_view Suffix = ".invalid";
    return name == "invalid" ||
           (name.size() > Suffix.size() && name.compare(name.size() - Suffix.size(), Suffix.size(), Suffix) == 0);
}

int ResolveAddrs(const std::string& name, int family, std::string& canonical, std::vector<FoundAddr>& addrs)
{
    if (IsReservedInvalid(name))
        return WSAHOST_NOT_FOUND;
    if (FromTestTable(name, family, addrs)) {
        canonical = name;
        return addrs.empty() ? WSANO_DATA : 0;
    }
    px::AddrInfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = px::SockStream;
    hints.ai_flags = px::AiCanonName;
    px::AddrInfo* res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0)
        return LookupError(rc);
    canonical = (res && res->ai_canonname) ? res->ai_canonname : name;
    for (px::AddrInfo* ai = res; ai; ai = ai->ai_next) {
        if (!ai->ai_addr)
            continue;
        if ((ai->ai_family == px::AfInet && ai->ai_addrlen >= sizeof(px::SockAddrIn)) ||
            (ai->ai_family == px::AfInet6 && ai->ai_addrlen >= sizeof(px::SockAddrIn6)))
            AddOnce(addrs, ai->ai_addr, ai->ai_family == px::AfInet ? sizeof(px::SockAddrIn) : sizeof(px::SockAddrIn6));
    }
    ::freeaddrinfo(res);
    return addrs.empty() ? WSANO_DATA : 0;
}

int ResolveName(const std::string& name, std::string& canonical, std::vector<std::uint32_t>& addrs)
{
    std::vector<FoundAddr> found;
    int err = ResolveAddrs(name, px::AfInet, canonical, found);
    if (err != 0)
        return err;
    for (const FoundAddr& f : found)
        addrs.push_back(reinterpret_cast<const px::SockAddrIn*>(&f.addr)->sin_addr.s_addr);
    return 0;
}

addrinfo* MakeAddrInfo(const std::string& canonical, const std::vector<FoundAddr>& addrs, int socktype, int protocol,
                       std::uint16_t portNet)
{
    addrinfo* head = nullptr;
    addrinfo** tail = &head;
    for (const FoundAddr& f : addrs) {
        auto* ai = new addrinfo{};
        auto* storage = new sockaddr_storage{};
        int len = sizeof *storage;
        px::SockAddrStorage withPort = f.addr;
        if (withPort.ss_family == px::AfInet)
            reinterpret_cast<px::SockAddrIn*>(&withPort)->sin_port = portNet;
        else
            reinterpret_cast<px::SockAddrIn6*>(&withPort)->sin6_port = portNet;
        FromPosix(withPort, reinterpret_cast<sockaddr*>(storage), &len);
        ai->ai_family = f.addr.ss_family == px::AfInet ? AF_INET : AF_INET6;
        ai->ai_socktype = socktype;
        ai->ai_protocol = protocol;
        ai->ai_addrlen = static_cast<std::size_t>(len);
        ai->ai_addr = reinterpret_cast<sockaddr*>(storage);
        if (!head) {
            ai->ai_canonname = new char[canonical.size() + 1];
            std::memcpy(ai->ai_canonname, canonical.c_str(), canonical.size() + 1);
        }
        *tail = ai;
        tail = &ai->ai_next;
    }
    return head;
}

int WriteHostEntry(char* buf, int buflen, const std::string& name, const std::vector<std::uint32_t>& addrs)
{
    std::size_t pad = (alignof(hostent) - reinterpret_cast<std::uintptr_t>(buf) % alignof(hostent)) % alignof(hostent);
    std::size_t n = addrs.size();
    std::size_t need = pad + sizeof(hostent) + (n + 1) * sizeof(char*) + sizeof(char*) + n * 4 + name.size() + 1;
    if (need > static_cast<std::size_t>(buflen))
        return static_cast<int>(need);
    char* base = buf + pad;
    auto* he = reinterpret_cast<hostent*>(base);
    auto** list = reinterpret_cast<char**>(base + sizeof(hostent));
    auto** aliases = list + n + 1;
    char* bytes = reinterpret_cast<char*>(aliases + 1);
    char* text = bytes + n * 4;
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(bytes + i * 4, &addrs[i], 4);
        list[i] = bytes + i * 4;
    }
    list[n] = nullptr;
    aliases[0] = nullptr;
    std::memcpy(text, name.c_str(), name.size() + 1);
    he->h_name = text;
    he->h_aliases = aliases;
    he->h_addrtype = AF_INET;
    he->h_length = 4;
    he->h_addr_list = list;
    return 0;
}

} // namespace internal

// ---- addresses and byte order ------------------------------------------------------

u_long inet_addr(const char* cp)
{
    if (!cp)
        return INADDR_NONE;
    ::in_addr a{};
    if (::inet_aton(cp, &a) == 0)
        return INADDR_NONE;
    return a.s_addr;
}

int inet_pton(int af, const char* src, void* dst)
{
    if (af != AF_INET && af != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    if (!src || !dst)
        return 0;
    return ::inet_pton(af == AF_INET ? px::AfInet : px::AfInet6, src, dst) == 1 ? 1 : 0;
}

const char* inet_ntop(int af, const void* src, char* dst, std::size_t size)
{
    if (af != AF_INET && af != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return nullptr;
    }
    if (!src || !dst ||
        ::inet_ntop(af == AF_INET ? px::AfInet : px::AfInet6, src, dst, static_cast<socklen_t>(size)) == nullptr) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    return dst;
}

char* inet_ntoa(in_addr in)
{
    thread_local char text[16];
    const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

u_short htons(u_short v)
{
    return static_cast<u_short>((v << 8) | (v >> 8));
}
u_short ntohs(u_short v)
{
    return htons(v);
}
u_long htonl(u_long v)
{
    return __builtin_bswap32(v);
}
u_long ntohl(u_long v)
{
    return __builtin_bswap32(v);
}

// ---- blocking lookups ------------------------------------------------------------

hostent* gethostbyname(const char* name)
{
    thread_local HostStore store;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    std::string canonical;
    std::vector<std::uint32_t> addrs;
    int err = ResolveName(name, canonical, addrs);
    if (err != 0) {
        Fail(err);
        return nullptr;
    }
    store.name = canonical;
    store.addrs = addrs;
    store.addrPtrs.clear();
    for (auto& a : store.addrs)
        store.addrPtrs.push_back(reinterpret_cast<char*>(&a));
    store.addrPtrs.push_back(nullptr);
    store.entry.h_name = store.name.data();
    store.entry.h_aliases = store.noAliases;
    store.entry.h_addrtype = AF_INET;
    store.entry.h_length = 4;
    store.entry.h_addr_list = store.addrPtrs.data();
    return &store.entry;
}

int getaddrinfo(const char* nodename, const char* servname, const addrinfo* hints, addrinfo** res)
{
    if (!res || !nodename) {
        WSASetLastError(WSAEFAULT);
        return WSAEFAULT;
    }
    *res = nullptr;
    const int af = hints ? hints->ai_family : AF_UNSPEC;
    if (af != AF_UNSPEC && af != AF_INET && af != AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return WSAEAFNOSUPPORT;
    }
    std::uint16_t portNet = 0;
    if (servname && *servname) {
        char* end = nullptr;
        const unsigned long port = std::strtoul(servname, &end, 10);
        if (*end != 0 || port > 65535) {
            WSASetLastError(WSATYPE_NOT_FOUND);
            return WSATYPE_NOT_FOUND;
        }
        portNet = htons(static_cast<u_short>(port));
    }
    std::string canonical;
    std::vector<FoundAddr> found;
    const int family = af == AF_INET ? px::AfInet : af == AF_INET6 ? px::AfInet6 : px::AfUnspec;
    int err = 0;
    if (hints && (hints->ai_flags & AI_NUMERICHOST)) {
        px::SockAddrIn sin{};
        px::SockAddrIn6 sin6{};
        if (family != px::AfInet6 && ::inet_pton(px::AfInet, nodename, &sin.sin_addr) == 1) {
            sin.sin_family = px::AfInet;
            FoundAddr f;
            std::memcpy(&f.addr, &sin, sizeof sin);
            f.len = sizeof sin;
            found.push_back(f);
        } else if (family != px::AfInet && ::inet_pton(px::AfInet6, nodename, &sin6.sin6_addr) == 1) {
            sin6.sin6_family = px::AfInet6;
            FoundAddr f;
            std::memcpy(&f.addr, &sin6, sizeof sin6);
            f.len = sizeof sin6;
            found.push_back(f);
        } else {
            err = WSAHOST_NOT_FOUND;
        }
        canonical = nodename;
    } else {
        err = ResolveAddrs(nodename, family, canonical, found);
    }
    if (err != 0) {
        WSASetLastError(err);
        return err;
    }
    *res = MakeAddrInfo(canonical, found, SOCK_STREAM, IPPROTO_TCP, portNet);
    return 0;
}

void freeaddrinfo(addrinfo* ai)
{
    while (ai) {
        addrinfo* next = ai->ai_next;
        delete[] ai->ai_canonname;
        delete reinterpret_cast<sockaddr_storage*>(ai->ai_addr);
        delete ai;
        ai = next;
    }
}

void WSASetTestHostTable(const std::vector<std::pair<std::string, std::vector<std::string>>>& table)
{
    std::lock_guard<std::mutex> hold(TestHostsLock);
    TestHosts() = table;
}

servent* getservbyname(const char* name, const char* proto)
{
    thread_local ServStore store;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    int port = -1;
    std::string p = proto ? proto : "";
    ::servent result{};
    ::servent* found = nullptr;
    char work[1024];
    if (::getservbyname_r(name, proto, &result, work, sizeof work, &found) == 0 && found) {
        port = found->s_port;
        p = found->s_proto ? found->s_proto : p;
    } else {
        // The services database is optional on a minimal system; the
        // names an FTP tool meets must work without it.
        static const struct {
            const char* name;
            int port;
        } known[] = {
            {"ftp-data", 20}, {"ftp", 21},  {"ssh", 22},   {"telnet", 23}, {"smtp", 25},
            {"domain", 53},   {"http", 80}, {"pop3", 110}, {"imap", 143},  {"https", 443},
        };
        for (const auto& k : known) {
            if (std::strcmp(k.name, name) == 0 && (p.empty() || p == "tcp" || p == "udp")) {
                port = htons(static_cast<u_short>(k.port));
                if (p.empty())
                    p = "tcp";
            }
        }
    }
    if (port < 0) {
        Fail(WSANO_DATA);
        return nullptr;
    }
    store.name = name;
    store.proto = p;
    store.entry.s_name = store.name.data();
    store.entry.s_aliases = store.noAliases;
    store.entry.s_port = static_cast<std::int16_t>(port);
    store.entry.s_proto = store.proto.data();
    return &store.entry;
}

protoent* getprotobyname(const char* name)
{
    thread_local ProtoStore store;
    if (!name) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    int number = -1;
    ::protoent result{};
    ::protoent* found = nullptr;
    char work[1024];
    if (::getprotobyname_r(name, &result, work, sizeof work, &found) == 0 && found) {
        number = found->p_proto;
    } else {
        static const struct {
            const char* name;
            int number;
        } known[] = {
            {"ip", 0},
            {"icmp", 1},
            {"tcp", 6},
            {"udp", 17},
        };
        for (const auto& k : known)
            if (std::strcmp(k.name, name) == 0)
                number = k.number;
    }
    if (number < 0) {
        Fail(WSANO_DATA);
        return nullptr;
    }
    store.name = name;
    store.entry.p_name = store.name.data();
    store.entry.p_aliases = store.noAliases;
    store.entry.p_proto = static_cast<std::int16_t>(number);
    return &store.entry;
}

} // namespace winsock
