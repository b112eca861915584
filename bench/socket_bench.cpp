// Sends a volume over loopback three ways into a plain sink and prints
// MB/s and the sender's CPU seconds for each:
//   wsocket     TWSocket, 1514-byte Send calls paced by OnDataSent,
//               driven by RunMessageLoop
//   plain-1514  a blocking sender doing 1514-byte send calls
//   plain-64k   a blocking sender doing 64 KiB send calls
// Usage: socket_bench [MiB] [rounds]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/socket_bench_plain.h"
#include "net/WSocket.h"

namespace {

struct Result {
    double mbps = 0;
    double cpu = 0;
    std::uint64_t bytes = 0;
    std::uint64_t polls = 0;
    std::uint64_t messages = 0;
};

Result RunWSocket(std::uint64_t total)
{
    plain::Sink sink;
    sink.Start();
    TWSocket s;
    std::vector<char> block(1514, 'w');
    std::uint64_t sent = 0;
    double t0 = 0, cpu0 = 0;
    MessageQueueStats q0{};
    s.OnSessionConnected = [&](TObject*, WORD err) {
        if (err != 0) {
            std::fprintf(stderr, "connect failed: %d\n", err);
            PostQuitMessage(1);
        }
        t0 = plain::WallSeconds();
        cpu0 = plain::ThreadCpuSeconds();
        q0 = GetMessageQueueStats();
    };
    s.OnDataSent = [&](TObject*, WORD) {
        if (t0 == 0)
            return;
        if (sent >= total) {
            s.Close();
            PostQuitMessage(0);
            return;
        }
        int n = static_cast<int>(std::min<std::uint64_t>(block.size(), total - sent));
        s.Send(block.data(), n);
        sent += static_cast<std::uint64_t>(n);
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(sink.port));
    s.Connect();
    RunMessageLoop();
    SetTerminating(false);
    Result r;
    r.bytes = sink.Join();
    double wall = plain::WallSeconds() - t0;
    r.cpu = plain::ThreadCpuSeconds() - cpu0;
    r.mbps = static_cast<double>(r.bytes) / 1e6 / wall;
    MessageQueueStats q1 = GetMessageQueueStats();
    r.polls = q1.polls - q0.polls;
    r.messages = q1.dispatched - q0.dispatched;
    return r;
}

Result RunPlain(std::uint64_t total, int chunk)
{
    plain::Sink sink;
    sink.Start();
    double t0 = plain::WallSeconds();
    double cpu0 = plain::ThreadCpuSeconds();
    plain::BlockingSend(sink.port, total, chunk);
    Result r;
    r.bytes = sink.Join();
    double wall = plain::WallSeconds() - t0;
    r.cpu = plain::ThreadCpuSeconds() - cpu0;
    r.mbps = static_cast<double>(r.bytes) / 1e6 / wall;
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    std::uint64_t total = mib << 20;
    std::printf("%llu MiB over 127.0.0.1, %d rounds, best round shown\n", static_cast<unsigned long long>(mib), rounds);

    Result best[3];
    for (int round = 0; round < rounds; ++round) {
        // Interleaved, so that the machine's state is shared alike.
        Result w = RunWSocket(total);
        Result p = RunPlain(total, 1514);
        Result b = RunPlain(total, 65536);
        if (w.bytes != total || p.bytes != total || b.bytes != total) {
            std::fprintf(stderr, "short transfer: %llu %llu %llu of %llu\n", static_cast<unsigned long long>(w.bytes),
                         static_cast<unsigned long long>(p.bytes), static_cast<unsigned long long>(b.bytes),
                         static_cast<unsigned long long>(total));
            return 1;
        }
        std::printf("round %d: wsocket %.0f MB/s, plain-1514 %.0f MB/s, plain-64k %.0f MB/s\n", round + 1, w.mbps,
                    p.mbps, b.mbps);
        if (w.mbps > best[0].mbps)
            best[0] = w;
        if (p.mbps > best[1].mbps)
            best[1] = p;
        if (b.mbps > best[2].mbps)
            best[2] = b;
    }
    const char* names[3] = {"wsocket (1514, OnDataSent)", "plain send 1514", "plain send 64 KiB"};
    std::printf("\n%-28s %10s %12s %14s\n", "sender", "MB/s", "CPU s", "CPU s per GB");
    for (int i = 0; i < 3; ++i)
        std::printf("%-28s %10.0f %12.2f %14.2f\n", names[i], best[i].mbps, best[i].cpu,
                    best[i].cpu / (static_cast<double>(best[i].bytes) / 1e9));
    std::printf("\nwsocket / plain-1514 throughput: %.2f\n", best[0].mbps / best[1].mbps);
    std::printf("wsocket / plain-64k  throughput: %.2f\n", best[0].mbps / best[2].mbps);
    std::printf("wsocket messages dispatched: %llu (%.2f per 1514-byte Send), epoll_wait calls: %llu (%.1f messages "
                "per call)\n",
                static_cast<unsigned long long>(best[0].messages),
                static_cast<double>(best[0].messages) / (static_cast<double>(total) / 1514.0),
                static_cast<unsigned long long>(best[0].polls),
                best[0].polls ? static_cast<double>(best[0].messages) / static_cast<double>(best[0].polls) : 0.0);
    return 0;
}
