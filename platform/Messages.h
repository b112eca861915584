// The GUI thread's message queue: hidden windows, posted messages, timers,
// the tick counter and the terminating flag.
//
// Everything that completes later (socket readiness, a name lookup, a timer)
// arrives as a message posted to a hidden window and is handled when the
// thread processes its messages. Socket readiness is gathered by one epoll
// descriptor (see MessageQueueFd) and turned into posted messages when the
// queue is processed, so a program blocks either in RunMessageLoop (headless)
// or in Qt's own loop with the glue of platform/qt/QtMessagePump.h.
//
// All functions are for the GUI thread, except PostMessage, which may be
// called from any thread.
#pragma once

#include <cstdint>
#include <functional>

using HWND = std::uint32_t; // small integers, never reused in a run; 0 = none
using UINT = unsigned int;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using LONG_PTR = std::intptr_t;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

inline constexpr WORD LOWORD(LPARAM l)
{
    return static_cast<WORD>(static_cast<std::uintptr_t>(l) & 0xFFFF);
}
inline constexpr WORD HIWORD(LPARAM l)
{
    return static_cast<WORD>((static_cast<std::uintptr_t>(l) >> 16) & 0xFFFF);
}
inline constexpr LPARAM MAKELPARAM(WORD lo, WORD hi)
{
    return static_cast<LPARAM>(static_cast<std::uint32_t>(lo) | (static_cast<std::uint32_t>(hi) << 16));
}

struct MSG {
    HWND hwnd = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// ---- hidden windows ------------------------------------------------------

using WNDPROC = LRESULT (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
using WindowHandler = std::function<LRESULT(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)>;

// A hidden window with a window procedure and one pointer-sized slot
// (index 0, usually the owning object). Returns the new handle.
HWND CreateHiddenWindow(WNDPROC proc, LONG_PTR slot0 = 0);
// The same with a callable as window procedure (for objects that keep
// their state in a lambda's captures).
HWND AllocateHWnd(WindowHandler handler);
// Destroys a window; messages still queued for it are dropped, and a
// window may be destroyed from inside its own procedure.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
LONG_PTR GetWindowLongPtr(HWND hwnd, int index);
LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value); // returns the old value
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// ---- messages ------------------------------------------------------------

// Appends to the queue (FIFO). False for a window that does not exist.
// Safe from any thread.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the window procedure at once; 0 for a window that does not exist.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Asks the loop to end: sets the terminating flag and posts WM_QUIT.
void PostQuitMessage(int exitCode);

// Takes the next message (turning socket readiness and due timers into
// messages first when the queue is empty). Never blocks.
bool PeekMessage(MSG& msg, UINT removeMsg = PM_REMOVE);
// Waits for the next message; false when it is WM_QUIT.
bool GetMessage(MSG& msg);
inline void TranslateMessage(const MSG&) { }
LRESULT DispatchMessage(const MSG& msg);

// Dispatches everything pending once, without blocking: socket readiness
// and due timers become messages, then the queue is dispatched until it is
// empty (re-polling the sockets every so many messages, so that one busy
// socket cannot starve the others). WM_QUIT is not dispatched; it sets the
// terminating flag. Inside a Qt application it also processes Qt's events.
void ProcessMessages();

// Blocks until there is something to process (a message, socket readiness,
// a due timer, or, inside a Qt application, a Qt event), or until timeoutMs
// passes (-1: no limit). Returns at once when messages are queued. Used by
// every synchronous wait between two ProcessMessages calls, so that waiting
// costs no CPU.
void WaitMessage(int timeoutMs = -1);

// The headless loop: blocks in epoll_wait, dispatches, repeats until
// WM_QUIT. Returns the code given to PostQuitMessage.
int RunMessageLoop();

// "Terminating": the main window has closed or quit was asked for.
// Synchronous waits give up when it is set.
bool IsTerminating();
void SetTerminating(bool terminating);

// ---- timers and time -----------------------------------------------------

// Posts WM_TIMER (wParam = id) to hwnd every elapseMs milliseconds; at most
// one WM_TIMER per timer is queued at a time. Setting an existing (hwnd, id)
// restarts it. Returns id, or 0 when hwnd is not a window.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs);
// Stops the timer and drops its queued WM_TIMER.
bool KillTimer(HWND hwnd, UINT_PTR id);

// Milliseconds since an arbitrary start (the system's monotonic clock),
// wrapping at 2^32.
DWORD GetTickCount();
// Gives up the processor for ms milliseconds (0: just yield).
void Sleep(DWORD ms);

// ---- integration with another event loop ---------------------------------

// The reactor's epoll descriptor. It reads as readable whenever a socket is
// ready, a timer is due, or messages were posted that no running dispatch
// loop will see; watch it and call PumpMessages when it is.
int MessageQueueFd();

// One pass of ProcessMessages without running the other loop's events;
// this is what a watcher of MessageQueueFd calls.
void PumpMessages();

// Hooks by which ProcessMessages, WaitMessage and WM_QUIT reach another
// event loop (set by the Qt glue; empty hooks mean headless).
struct ForeignLoopHooks {
    std::function<void()> processEvents;           // run pending events once, no blocking
    std::function<void(int timeoutMs)> waitEvents; // block until an event or the timeout
    std::function<void(int exitCode)> quit;        // WM_QUIT was taken from the queue
};
void SetForeignLoopHooks(ForeignLoopHooks hooks);

// ---- descriptors that are not sockets (pipes) ----------------------------

// What WatchDescriptor reports, in the low word of lParam.
inline constexpr long DW_READ = 0x01;  // readable, or at its end (a read returns 0 or fails)
inline constexpr long DW_WRITE = 0x02; // writable, or the reading side is gone (a write fails)

// Watches a descriptor that is not a socket (a pipe end, say) with the
// reactor: makes it non-blocking and posts msg to hwnd, wParam = fd, lParam
// = the events that happened. Each event is posted once and then disarmed
// until the next WatchDescriptor call asks for it again (a reader asks
// again after it has read until the descriptor would block). Calling it
// again replaces the set of events; 0 stops watching until asked again.
// False when hwnd is not a window or the descriptor cannot be watched.
bool WatchDescriptor(int fd, HWND hwnd, UINT msg, long events);
// Stops watching fd and drops its notifications still queued. Call it
// before closing the descriptor.
void UnwatchDescriptor(int fd);
// For tests and leak checks: descriptors being watched.
int WatchedDescriptorCount();

// ---- the socket readiness source (used by the Winsock layer) -------------

// Called for every ready descriptor found by a poll, with the epoll event
// bits; it turns readiness into posted messages and must not run program
// code.
using ReadinessHandler = void (*)(int fd, std::uint32_t events);
void SetReadinessHandler(ReadinessHandler handler);

// Drops every queued message that matches hwnd, msg and wParam (a closed
// socket's notifications must not reach a new socket with the same handle).
void PurgeMessages(HWND hwnd, UINT msg, WPARAM wParam);

// Posts a message whose delivery depends on a pending request: at dispatch
// time `deliver` runs first and the message is dropped when it returns
// false. Used for name lookups that may be cancelled while queued.
bool PostConditionalMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, std::function<bool()> deliver);

// Runs fn on the GUI thread at its next poll. Safe from any thread; this
// is how a helper thread hands back its result without touching objects.
void RunOnLoopThread(std::function<void()> fn);

// Counters for tests and benchmarks.
struct MessageQueueStats {
    std::uint64_t polls = 0;      // epoll_wait calls
    std::uint64_t dispatched = 0; // messages dispatched
    std::uint64_t wakes = 0;      // eventfd writes
};
MessageQueueStats GetMessageQueueStats();
std::size_t PendingMessageCount();
