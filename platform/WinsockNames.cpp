// Name look-ups, the per-thread database entries they return, dotted
// addresses and byte order.
#include "platform/WinsockInternal.h"

#include <cstdio>
#include <cstring>

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

int ResolveName(const std::string& name, std::string& canonical, std::vector<std::uint32_t>& addrs)
{
    addrinfo hints{};
    hints.ai_family = px::AfInet;
    hints.ai_socktype = px::SockStream;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0) {
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
    canonical = (res && res->ai_canonname) ? res->ai_canonname : name;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family != px::AfInet || !ai->ai_addr)
            continue;
        px::SockAddrIn sin;
        std::memcpy(&sin, ai->ai_addr, sizeof sin);
        std::uint32_t a = sin.sin_addr.s_addr;
        bool seen = false;
        for (std::uint32_t x : addrs)
            seen = seen || x == a;
        if (!seen)
            addrs.push_back(a);
    }
    ::freeaddrinfo(res);
    return addrs.empty() ? WSANO_DATA : 0;
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
