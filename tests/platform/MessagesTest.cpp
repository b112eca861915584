#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/Messages.h"

namespace {

struct Recorder {
    std::vector<MSG> got;
    HWND hwnd = AllocateHWnd([this](HWND h, UINT m, WPARAM w, LPARAM l) {
        got.push_back(MSG{h, m, w, l});
        return LRESULT{0};
    });
    ~Recorder() { DestroyWindow(hwnd); }
};

void PumpAll()
{
    for (int i = 0; i < 4; ++i)
        ProcessMessages();
}

TEST(MessageQueue, PostedMessagesArriveInOrderAndNeverInsidePost)
{
    Recorder r;
    EXPECT_TRUE(PostMessage(r.hwnd, WM_USER + 1, 1, 10));
    EXPECT_TRUE(PostMessage(r.hwnd, WM_USER + 2, 2, 20));
    EXPECT_TRUE(r.got.empty());
    PumpAll();
    ASSERT_EQ(2u, r.got.size());
    EXPECT_EQ(WM_USER + 1, r.got[0].message);
    EXPECT_EQ(20, r.got[1].lParam);
}

TEST(MessageQueue, HandlesAreNeverReusedAndDestroyedWindowsGetNothing)
{
    Recorder a;
    HWND gone = AllocateHWnd([](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
        ADD_FAILURE() << "message dispatched to a destroyed window";
        return 0;
    });
    EXPECT_TRUE(PostMessage(gone, WM_USER, 0, 0));
    EXPECT_TRUE(DestroyWindow(gone));
    EXPECT_FALSE(IsWindow(gone));
    EXPECT_FALSE(PostMessage(gone, WM_USER, 0, 0));
    Recorder b;
    EXPECT_NE(gone, b.hwnd);
    EXPECT_GT(b.hwnd, gone);
    PumpAll();
}

TEST(MessageQueue, WindowDestroyedFromItsOwnProcedureStaysDestroyed)
{
    int calls = 0;
    HWND self = 0;
    self = AllocateHWnd([&](HWND h, UINT, WPARAM, LPARAM) -> LRESULT {
        ++calls;
        DestroyWindow(h);
        return 0;
    });
    PostMessage(self, WM_USER, 0, 0);
    PostMessage(self, WM_USER, 0, 0); // still queued when the window goes
    PumpAll();
    EXPECT_EQ(1, calls);
}

LRESULT SlotProc(HWND h, UINT, WPARAM w, LPARAM)
{
    auto* counter = reinterpret_cast<int*>(GetWindowLongPtr(h, 0));
    *counter += static_cast<int>(w);
    return 0;
}

TEST(MessageQueue, WindowProcedureFindsItsOwnerInSlotZero)
{
    int counter = 0;
    HWND h = CreateHiddenWindow(&SlotProc, reinterpret_cast<LONG_PTR>(&counter));
    PostMessage(h, WM_USER, 5, 0);
    SendMessage(h, WM_USER, 2, 0); // runs at once, ahead of the queue
    EXPECT_EQ(2, counter);
    PumpAll();
    EXPECT_EQ(7, counter);
    EXPECT_EQ(reinterpret_cast<LONG_PTR>(&counter), SetWindowLongPtr(h, 0, 0));
    DestroyWindow(h);
}

TEST(MessageQueue, PostFromAnotherThreadWakesTheLoop)
{
    Recorder r;
    std::thread t([h = r.hwnd] { PostMessage(h, WM_USER + 7, 7, 0); });
    t.join();
    for (int i = 0; i < 50 && r.got.empty(); ++i) {
        WaitMessage(100);
        ProcessMessages();
    }
    ASSERT_EQ(1u, r.got.size());
    EXPECT_EQ(7u, r.got[0].wParam);
}

TEST(MessageQueue, RunMessageLoopEndsOnQuitWithItsCode)
{
    Recorder r;
    PostMessage(r.hwnd, WM_USER, 0, 0);
    PostQuitMessage(3);
    EXPECT_TRUE(IsTerminating());
    EXPECT_EQ(3, RunMessageLoop());
    EXPECT_EQ(1u, r.got.size());
    SetTerminating(false);
}

TEST(MessageQueue, LongChainsCostOnePollPerBatchNotPerMessage)
{
    int left = 10000;
    HWND h = 0;
    h = AllocateHWnd([&](HWND self, UINT, WPARAM, LPARAM) -> LRESULT {
        if (--left > 0)
            PostMessage(self, WM_USER, 0, 0);
        else
            PostQuitMessage(0);
        return 0;
    });
    MessageQueueStats before = GetMessageQueueStats();
    PostMessage(h, WM_USER, 0, 0);
    RunMessageLoop();
    SetTerminating(false);
    MessageQueueStats after = GetMessageQueueStats();
    EXPECT_EQ(0, left);
    EXPECT_EQ(10000u, after.dispatched - before.dispatched);
    // One epoll_wait per batch of up to 64 messages.
    EXPECT_LE(after.polls - before.polls, 10000u / 64 + 4);
    DestroyWindow(h);
}

TEST(MessageQueue, TimersPostOneTimerMessageAtATimeUntilKilled)
{
    Recorder r;
    EXPECT_EQ(9u, SetTimer(r.hwnd, 9, 5));
    DWORD start = GetTickCount();
    while (r.got.size() < 3 && GetTickCount() - start < 10000) {
        WaitMessage(1000);
        ProcessMessages();
    }
    ASSERT_GE(r.got.size(), 3u);
    EXPECT_EQ(WM_TIMER, r.got[0].message);
    EXPECT_EQ(9u, r.got[0].wParam);
    EXPECT_TRUE(KillTimer(r.hwnd, 9));
    EXPECT_FALSE(KillTimer(r.hwnd, 9));
    size_t n = r.got.size();
    Sleep(20);
    PumpAll();
    EXPECT_EQ(n, r.got.size());
    EXPECT_EQ(0u, SetTimer(0, 1, 5)) << "no timer without a window";
}

TEST(MessageQueue, WaitMessageIdlesUntilItsTimeout)
{
    MessageQueueStats before = GetMessageQueueStats();
    DWORD start = GetTickCount();
    WaitMessage(50);
    EXPECT_GE(GetTickCount() - start, 40u) << "WaitMessage returned without anything to do";
    EXPECT_LE(GetMessageQueueStats().polls - before.polls, 2u);
}

TEST(MessageQueue, PeekMessageHandsOutQuitWithoutDispatching)
{
    Recorder r;
    PostMessage(r.hwnd, WM_USER, 1, 0);
    PostQuitMessage(0);
    MSG m;
    ASSERT_TRUE(PeekMessage(m, PM_NOREMOVE));
    EXPECT_EQ(WM_USER, m.message);
    ASSERT_TRUE(PeekMessage(m));
    DispatchMessage(m);
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(WM_QUIT, m.message);
    EXPECT_FALSE(PeekMessage(m));
    EXPECT_EQ(1u, r.got.size());
    SetTerminating(false);
}

} // namespace

// A pipe watched like a socket: each event once, again only when asked,
// the end of the stream and a gone reader reported, and nothing queued for
// a descriptor that is no longer watched.
TEST(DescriptorWatch, PipeEndsReportOnceUntilAskedAgain)
{
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    Recorder r;
    ASSERT_TRUE(WatchDescriptor(fds[0], r.hwnd, WM_USER + 7, DW_READ));
    PumpAll();
    EXPECT_TRUE(r.got.empty()) << "nothing to read yet";

    ASSERT_EQ(3, ::write(fds[1], "abc", 3));
    PumpAll();
    ASSERT_EQ(1u, r.got.size());
    EXPECT_EQ(WPARAM(fds[0]), r.got[0].wParam);
    EXPECT_EQ(DW_READ, LOWORD(r.got[0].lParam));
    PumpAll();
    EXPECT_EQ(1u, r.got.size()) << "unread data is not reported again before it is asked for";
    ASSERT_TRUE(WatchDescriptor(fds[0], r.hwnd, WM_USER + 7, DW_READ));
    PumpAll();
    EXPECT_EQ(2u, r.got.size());

    char buf[8];
    EXPECT_EQ(3, ::read(fds[0], buf, sizeof buf));
    EXPECT_EQ(-1, ::read(fds[0], buf, sizeof buf)) << "the watched end is non-blocking";
    EXPECT_EQ(EAGAIN, errno);
    ASSERT_TRUE(WatchDescriptor(fds[0], r.hwnd, WM_USER + 7, DW_READ));
    ::close(fds[1]);
    PumpAll();
    ASSERT_EQ(3u, r.got.size()) << "the end of the stream is news for a reader";
    EXPECT_EQ(0, ::read(fds[0], buf, sizeof buf));

    // Queued but not dispatched, then unwatched: dropped.
    ASSERT_TRUE(WatchDescriptor(fds[0], r.hwnd, WM_USER + 7, DW_READ));
    MSG peeked;
    ASSERT_TRUE(PeekMessage(peeked, PM_NOREMOVE));
    UnwatchDescriptor(fds[0]);
    PumpAll();
    EXPECT_EQ(3u, r.got.size());
    EXPECT_EQ(0, WatchedDescriptorCount());
    ::close(fds[0]);
}

TEST(DescriptorWatch, WriteEndReportsRoomAndAGoneReader)
{
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    Recorder r;
    ASSERT_TRUE(WatchDescriptor(fds[1], r.hwnd, WM_USER + 8, DW_WRITE));
    PumpAll();
    ASSERT_EQ(1u, r.got.size()) << "an empty pipe has room";
    EXPECT_EQ(DW_WRITE, LOWORD(r.got[0].lParam));
    ::close(fds[0]);
    ASSERT_TRUE(WatchDescriptor(fds[1], r.hwnd, WM_USER + 8, DW_WRITE));
    PumpAll();
    EXPECT_EQ(2u, r.got.size()) << "a gone reader is news for a writer";
    UnwatchDescriptor(fds[1]);
    ::close(fds[1]);

    // A regular file cannot be watched.
    FILE* f = std::tmpfile();
    ASSERT_NE(nullptr, f);
    EXPECT_FALSE(WatchDescriptor(::fileno(f), r.hwnd, WM_USER + 8, DW_READ));
    UnwatchDescriptor(::fileno(f));
    std::fclose(f);
    EXPECT_EQ(0, WatchedDescriptorCount());
}
