// Runs the platform message queue inside a Qt application: one
// QSocketNotifier on the reactor's epoll descriptor pumps the queue, and
// ProcessMessages/WaitMessage also run Qt's events, so socket messages flow
// while Qt's loop is the one that blocks.
#pragma once

class QSocketNotifier;

class QtMessagePump {
public:
    // Needs a QCoreApplication; call once after creating it, keep the
    // object alive while the loop runs (e.g. a local in main).
    QtMessagePump();
    ~QtMessagePump();
    QtMessagePump(const QtMessagePump&) = delete;
    QtMessagePump& operator=(const QtMessagePump&) = delete;

private:
    QSocketNotifier* notifier_ = nullptr;
};
