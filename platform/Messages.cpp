#include "platform/Messages.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// Messages dispatched per pass before the sockets are polled again and,
// inside Qt, before Qt's events get their turn.
constexpr int DispatchBudget = 64;
constexpr int MaxEvents = 64;

struct Window {
    WNDPROC proc = nullptr;
    WindowHandler handler;
    LONG_PTR slot0 = 0;
};

struct Entry {
    MSG msg;
    std::function<bool()> deliver; // empty: always delivered
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT interval;
    std::uint64_t due;
    bool queued;
};

// A watched descriptor that is not a socket (see WatchDescriptor).
struct Watch {
    HWND hwnd = 0;
    UINT msg = 0;
    long armed = 0;               // DW_READ / DW_WRITE still to report
    std::uint32_t registered = 0; // epoll interest; 0: not in the set
};

std::uint64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

struct Loop {
    int ep = -1;
    int efd = -1; // written on a post that no running dispatch loop will see
    int tfd = -1; // armed to the earliest timer
    std::thread::id owner = std::this_thread::get_id();

    std::unordered_map<HWND, std::shared_ptr<Window>> windows;
    HWND nextHandle = 1;

    std::deque<Entry> queue;
    std::mutex inboxMutex;
    std::vector<std::function<void()>> inbox; // from other threads

    // > 0 while one of our dispatch loops is the innermost loop running;
    // a post made then is seen by that loop without a wake-up.
    int ownDispatch = 0;
    bool wakeArmed = false;

    // Messages dispatched since the last poll: a queue that is never empty
    // still gets its readiness looked at once per budget.
    int sincePoll = 0;

    bool quitPending = false;
    int exitCode = 0;
    bool terminating = false;

    std::vector<Timer> timers;
    std::unordered_map<int, Watch> watches;

    ForeignLoopHooks hooks;
    ReadinessHandler readiness = nullptr;
    MessageQueueStats stats;

    Loop()
    {
        ep = epoll_create1(EPOLL_CLOEXEC);
        efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        tfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = efd;
        epoll_ctl(ep, EPOLL_CTL_ADD, efd, &ev);
        ev.data.fd = tfd;
        epoll_ctl(ep, EPOLL_CTL_ADD, tfd, &ev);
    }

    bool OnOwnerThread() const { return std::this_thread::get_id() == owner; }

    void Wake()
    {
        if (wakeArmed)
            return;
        wakeArmed = true;
        std::uint64_t one = 1;
        ssize_t r = write(efd, &one, sizeof one);
        (void)r;
        ++stats.wakes;
    }

    // A queued message must be noticed by whoever blocks next. Our own
    // blocking points look at the queue first; only another loop (Qt's)
    // needs the descriptor to become readable.
    void WakeIfForeign()
    {
        if (hooks.waitEvents && ownDispatch == 0)
            Wake();
    }

    void ArmTimerFd()
    {
        std::uint64_t earliest = 0;
        for (const Timer& t : timers)
            if (earliest == 0 || t.due < earliest)
                earliest = t.due;
        itimerspec its{};
        if (earliest != 0) {
            its.it_value.tv_sec = static_cast<time_t>(earliest / 1000);
            its.it_value.tv_nsec = static_cast<long>((earliest % 1000) * 1000000);
        }
        timerfd_settime(tfd, TFD_TIMER_ABSTIME, &its, nullptr);
    }

    void FireTimers()
    {
        std::uint64_t now = NowMs();
        for (Timer& t : timers) {
            if (t.due > now)
                continue;
            if (!t.queued) {
                t.queued = true;
                queue.push_back(Entry{MSG{t.hwnd, WM_TIMER, t.id, 0}, {}});
            }
            t.due = now + (t.interval ? t.interval : 1);
        }
        ArmTimerFd();
    }

    void DrainInbox()
    {
        std::vector<std::function<void()>> work;
        {
            std::lock_guard<std::mutex> lock(inboxMutex);
            work.swap(inbox);
        }
        for (auto& fn : work)
            fn();
    }

    // Brings a watched descriptor's epoll interest in line with what is
    // armed; with nothing armed it leaves the set (hang-up and errors would
    // otherwise keep being reported).
    void SetWatchInterest(int fd, Watch& w)
    {
        std::uint32_t want = 0;
        if (w.armed & DW_READ)
            want |= EPOLLIN;
        if (w.armed & DW_WRITE)
            want |= EPOLLOUT;
        if (want == w.registered)
            return;
        epoll_event ev{};
        ev.events = want;
        ev.data.fd = fd;
        int rc = 0;
        if (want == 0)
            rc = epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        else if (w.registered == 0)
            rc = epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        else
            rc = epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev);
        if (rc == 0 || want == 0)
            w.registered = want;
    }

    // A hang-up or an error is news for whichever side is armed: the read
    // or write that follows finds the end or the error.
    void WatchReady(int fd, Watch& w, std::uint32_t events)
    {
        const bool broken = events & (EPOLLHUP | EPOLLERR);
        long fired = 0;
        if ((w.armed & DW_READ) && ((events & EPOLLIN) || broken))
            fired |= DW_READ;
        if ((w.armed & DW_WRITE) && ((events & EPOLLOUT) || broken))
            fired |= DW_WRITE;
        w.armed &= ~fired;
        SetWatchInterest(fd, w);
        if (fired)
            queue.push_back(
                Entry{MSG{w.hwnd, w.msg, static_cast<WPARAM>(fd), MAKELPARAM(static_cast<WORD>(fired), 0)}, {}});
    }

    // One epoll_wait: readiness, timers and cross-thread work become
    // queued messages. No program code runs here.
    void Poll(int timeoutMs)
    {
        epoll_event evs[MaxEvents];
        int n = epoll_wait(ep, evs, MaxEvents, timeoutMs);
        ++stats.polls;
        sincePoll = 0;
        for (int i = 0; i < n; ++i) {
            int fd = evs[i].data.fd;
            if (fd == efd) {
                std::uint64_t v;
                while (read(efd, &v, sizeof v) > 0) { }
                wakeArmed = false;
                DrainInbox();
            } else if (fd == tfd) {
                std::uint64_t v;
                while (read(tfd, &v, sizeof v) > 0) { }
                FireTimers();
            } else if (auto w = watches.find(fd); w != watches.end()) {
                WatchReady(fd, w->second, evs[i].events);
            } else if (readiness) {
                readiness(fd, evs[i].events);
            }
        }
    }

    // Whether a pass should look for readiness first: always when nothing
    // is queued; otherwise once a budget of messages has gone by since the
    // last look. What the last poll queued is dispatched before the next
    // poll, so a readiness message is not looked at twice (for a socket, a
    // second look before its handler has read costs two epoll_ctl calls).
    bool PollDue() const { return queue.empty() || sincePoll >= DispatchBudget; }

    // Takes the next deliverable message off the queue.
    bool Take(MSG& msg)
    {
        while (!queue.empty()) {
            Entry e = std::move(queue.front());
            queue.pop_front();
            if (e.deliver && !e.deliver())
                continue;
            msg = e.msg;
            return true;
        }
        return false;
    }

    void OnQuit(const MSG& msg)
    {
        quitPending = true;
        terminating = true;
        exitCode = static_cast<int>(msg.wParam);
        if (hooks.quit)
            hooks.quit(exitCode);
    }

    // Dispatches up to the budget; messages posted meanwhile are dispatched
    // in the same pass.
    void DispatchPass()
    {
        ++ownDispatch;
        MSG msg;
        for (int i = 0; i < DispatchBudget && Take(msg); ++i) {
            ++sincePoll;
            if (msg.message == WM_QUIT && msg.hwnd == 0)
                OnQuit(msg);
            else
                DispatchMessage(msg);
        }
        --ownDispatch;
        if (!queue.empty())
            WakeIfForeign();
    }
};

Loop& L()
{
    // Never destroyed: a helper thread may still post while the program exits.
    static Loop* loop = new Loop();
    return *loop;
}

// While another loop (Qt's) runs inside one of ours, posts must wake it.
class ForeignScope {
public:
    ForeignScope() : saved_(L().ownDispatch) { L().ownDispatch = 0; }
    ~ForeignScope() { L().ownDispatch = saved_; }
    ForeignScope(const ForeignScope&) = delete;
    ForeignScope& operator=(const ForeignScope&) = delete;

private:
    int saved_;
};

std::shared_ptr<Window> FindWindow(HWND hwnd)
{
    auto& w = L().windows;
    auto it = w.find(hwnd);
    return it == w.end() ? nullptr : it->second;
}

HWND AddWindow(std::shared_ptr<Window> w)
{
    Loop& l = L();
    HWND h = l.nextHandle++;
    l.windows.emplace(h, std::move(w));
    return h;
}

} // namespace

HWND CreateHiddenWindow(WNDPROC proc, LONG_PTR slot0)
{
    auto w = std::make_shared<Window>();
    w->proc = proc;
    w->slot0 = slot0;
    return AddWindow(std::move(w));
}

HWND AllocateHWnd(WindowHandler handler)
{
    auto w = std::make_shared<Window>();
    w->handler = std::move(handler);
    return AddWindow(std::move(w));
}

bool DestroyWindow(HWND hwnd)
{
    Loop& l = L();
    auto it = l.windows.find(hwnd);
    if (it == l.windows.end())
        return false;
    // The window procedure may be running right now (a window destroyed from
    // its own handler); the dispatcher holds its own reference to it.
    l.windows.erase(it);
    bool hadTimers = false;
    for (auto t = l.timers.begin(); t != l.timers.end();) {
        if (t->hwnd == hwnd) {
            t = l.timers.erase(t);
            hadTimers = true;
        } else {
            ++t;
        }
    }
    if (hadTimers)
        l.ArmTimerFd();
    // Queued messages for it are dropped at dispatch time.
    return true;
}

bool IsWindow(HWND hwnd)
{
    return hwnd != 0 && L().windows.count(hwnd) != 0;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index)
{
    auto& w = L().windows;
    auto it = w.find(hwnd);
    return (it != w.end() && index == 0) ? it->second->slot0 : 0;
}

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value)
{
    auto w = FindWindow(hwnd);
    if (!w || index != 0)
        return 0;
    return std::exchange(w->slot0, value);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM)
{
    return 0;
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    Loop& l = L();
    if (!l.OnOwnerThread()) {
        RunOnLoopThread([=] { PostMessage(hwnd, msg, wParam, lParam); });
        return true;
    }
    if (hwnd != 0 && !IsWindow(hwnd))
        return false;
    l.queue.push_back(Entry{MSG{hwnd, msg, wParam, lParam}, {}});
    l.WakeIfForeign();
    return true;
}

bool PostConditionalMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, std::function<bool()> deliver)
{
    Loop& l = L();
    if (!IsWindow(hwnd))
        return false;
    l.queue.push_back(Entry{MSG{hwnd, msg, wParam, lParam}, std::move(deliver)});
    l.WakeIfForeign();
    return true;
}

void RunOnLoopThread(std::function<void()> fn)
{
    Loop& l = L();
    {
        std::lock_guard<std::mutex> lock(l.inboxMutex);
        l.inbox.push_back(std::move(fn));
    }
    // Always wake: the loop thread may be blocked in epoll_wait.
    std::uint64_t one = 1;
    ssize_t r = write(l.efd, &one, sizeof one);
    (void)r;
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DispatchMessage(MSG{hwnd, msg, wParam, lParam});
}

void PostQuitMessage(int exitCode)
{
    Loop& l = L();
    l.terminating = true;
    l.queue.push_back(Entry{MSG{0, WM_QUIT, static_cast<WPARAM>(exitCode), 0}, {}});
    l.WakeIfForeign();
}

bool PeekMessage(MSG& msg, UINT removeMsg)
{
    Loop& l = L();
    if (l.queue.empty())
        l.Poll(0);
    if (removeMsg & PM_REMOVE)
        return l.Take(msg);
    while (!l.queue.empty()) {
        Entry& e = l.queue.front();
        if (e.deliver && !e.deliver()) {
            l.queue.pop_front();
            continue;
        }
        e.deliver = nullptr; // decided: deliver when taken
        msg = e.msg;
        return true;
    }
    return false;
}

bool GetMessage(MSG& msg)
{
    Loop& l = L();
    while (!l.Take(msg))
        l.Poll(-1);
    return !(msg.message == WM_QUIT && msg.hwnd == 0);
}

LRESULT DispatchMessage(const MSG& msg)
{
    Loop& l = L();
    auto it = l.windows.find(msg.hwnd);
    if (it == l.windows.end())
        return 0; // the window is gone: the message is dropped
    if (msg.message == WM_TIMER) {
        for (Timer& t : l.timers)
            if (t.hwnd == msg.hwnd && t.id == msg.wParam)
                t.queued = false;
    }
    ++l.stats.dispatched;
    if (WNDPROC proc = it->second->proc)
        return proc(msg.hwnd, msg.message, msg.wParam, msg.lParam);
    // The callable lives in the window record, which its own call may
    // destroy: hold a reference for the duration of the call.
    std::shared_ptr<Window> w = it->second;
    return w->handler(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

void PumpMessages()
{
    Loop& l = L();
    if (l.PollDue())
        l.Poll(0);
    l.DispatchPass();
}

void ProcessMessages()
{
    Loop& l = L();
    PumpMessages();
    if (l.hooks.processEvents) {
        ForeignScope scope;
        l.hooks.processEvents();
    }
}

void WaitMessage(int timeoutMs)
{
    Loop& l = L();
    if (!l.queue.empty() || l.quitPending)
        return;
    if (l.hooks.waitEvents) {
        ForeignScope scope;
        l.hooks.waitEvents(timeoutMs);
    } else {
        l.Poll(timeoutMs);
    }
}

int RunMessageLoop()
{
    Loop& l = L();
    while (!l.quitPending) {
        if (l.hooks.waitEvents) {
            WaitMessage(-1);
            ProcessMessages();
        } else {
            // It blocks only when nothing is queued.
            if (l.queue.empty())
                l.Poll(-1);
            else if (l.PollDue())
                l.Poll(0);
            l.DispatchPass();
        }
    }
    l.quitPending = false;
    return l.exitCode;
}

bool IsTerminating()
{
    return L().terminating;
}

void SetTerminating(bool terminating)
{
    L().terminating = terminating;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs)
{
    Loop& l = L();
    if (!IsWindow(hwnd))
        return 0;
    std::uint64_t due = NowMs() + (elapseMs ? elapseMs : 1);
    bool found = false;
    for (Timer& t : l.timers) {
        if (t.hwnd == hwnd && t.id == id) {
            t.interval = elapseMs;
            t.due = due;
            found = true;
        }
    }
    if (!found)
        l.timers.push_back(Timer{hwnd, id, elapseMs, due, false});
    l.ArmTimerFd();
    return id;
}

bool KillTimer(HWND hwnd, UINT_PTR id)
{
    Loop& l = L();
    bool found = false;
    for (auto t = l.timers.begin(); t != l.timers.end();) {
        if (t->hwnd == hwnd && t->id == id) {
            t = l.timers.erase(t);
            found = true;
        } else {
            ++t;
        }
    }
    if (found) {
        l.ArmTimerFd();
        PurgeMessages(hwnd, WM_TIMER, id);
    }
    return found;
}

DWORD GetTickCount()
{
    return static_cast<DWORD>(NowMs());
}

void Sleep(DWORD ms)
{
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

int MessageQueueFd()
{
    return L().ep;
}

void SetForeignLoopHooks(ForeignLoopHooks hooks)
{
    L().hooks = std::move(hooks);
}

void SetReadinessHandler(ReadinessHandler handler)
{
    L().readiness = handler;
}

bool WatchDescriptor(int fd, HWND hwnd, UINT msg, long events)
{
    Loop& l = L();
    if (fd < 0 || !IsWindow(hwnd))
        return false;
    auto it = l.watches.find(fd);
    if (it == l.watches.end()) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
            return false;
        it = l.watches.emplace(fd, Watch{}).first;
    }
    Watch& w = it->second;
    if (w.hwnd != hwnd || w.msg != msg) {
        // Notifications queued for the old receiver are not its business.
        if (w.hwnd)
            PurgeMessages(w.hwnd, w.msg, static_cast<WPARAM>(fd));
        w.hwnd = hwnd;
        w.msg = msg;
    }
    w.armed = events & (DW_READ | DW_WRITE);
    l.SetWatchInterest(fd, w);
    if (w.registered == 0 && w.armed != 0)
        return false; // epoll refused it (a regular file, say)
    return true;
}

void UnwatchDescriptor(int fd)
{
    Loop& l = L();
    auto it = l.watches.find(fd);
    if (it == l.watches.end())
        return;
    if (it->second.registered)
        epoll_ctl(l.ep, EPOLL_CTL_DEL, fd, nullptr);
    PurgeMessages(it->second.hwnd, it->second.msg, static_cast<WPARAM>(fd));
    l.watches.erase(it);
}

int WatchedDescriptorCount()
{
    return static_cast<int>(L().watches.size());
}

void PurgeMessages(HWND hwnd, UINT msg, WPARAM wParam)
{
    auto& q = L().queue;
    for (auto it = q.begin(); it != q.end();) {
        if (it->msg.hwnd == hwnd && it->msg.message == msg && it->msg.wParam == wParam)
            it = q.erase(it);
        else
            ++it;
    }
}

MessageQueueStats GetMessageQueueStats()
{
    return L().stats;
}

std::size_t PendingMessageCount()
{
    return L().queue.size();
}
