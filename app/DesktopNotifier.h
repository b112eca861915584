#pragma once
// Desktop notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Every call is
// asynchronous: without a session bus or without the service nothing
// shows, nothing is reported and nothing waits.

#include <QObject>
#include <QString>
#include <QStringList>
#include <map>

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject* parent = nullptr);

    // Shows a notification; with `links` it offers "Copy links", which puts
    // them into the clipboard, one per line.
    void Notify(const QString& summary, const QString& body, const QStringList& links);

    // The action's key and caption.
    static constexpr char CopyLinksAction[] = "copy-links";
    static constexpr char CopyLinksCaption[] = "Copy links";

private slots:
    void OnActionInvoked(uint id, const QString& action);
    void OnClosed(uint id, uint reason);

private:
    // Whether a session bus is to be had without starting one: an address
    // in the environment, or the user's bus socket.
    [[nodiscard]] static bool SessionBusAround();
    bool connected_ = false;
    // The links of the notifications still shown, by their ids.
    std::map<uint, QStringList> links_;
};

// Puts `links` into the clipboard, one per line.
void CopyLinksToClipboard(const QStringList& links);
