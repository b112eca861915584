#include "app/DesktopNotifier.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QGuiApplication>
#include <QVariantMap>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

// Notifications of closed ones are forgotten; a service that never says
// so leaves at most this many.
constexpr std::size_t KeptLinkSets = 16;

} // namespace

void CopyLinksToClipboard(const QStringList& links)
{
    QGuiApplication::clipboard()->setText(links.join(u'\n'));
}

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) { }

bool DesktopNotifier::SessionBusAround()
{
    // With neither, the D-Bus library would try to start a bus of its own.
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

void DesktopNotifier::Notify(const QString& summary, const QString& body, const QStringList& links)
{
    if (!SessionBusAround())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    if (!connected_) {
        connected_ = true;
        bus.connect(Service, Path, Interface, QStringLiteral("ActionInvoked"), this,
                    SLOT(OnActionInvoked(uint, QString)));
        bus.connect(Service, Path, Interface, QStringLiteral("NotificationClosed"), this, SLOT(OnClosed(uint, uint)));
    }
    QStringList actions;
    if (!links.isEmpty())
        actions << QString::fromLatin1(CopyLinksAction) << QString::fromLatin1(CopyLinksCaption);
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("parcelo"));
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    call << QStringLiteral("Parcelo") << uint(0) << QStringLiteral("parcelo") << summary << body << actions << hints
         << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, links](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<uint> reply = *done;
        // No service, or it refused: nothing shows.
        if (reply.isError() || links.isEmpty())
            return;
        if (links_.size() >= KeptLinkSets)
            links_.erase(links_.begin());
        links_[reply.value()] = links;
    });
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& action)
{
    const auto found = links_.find(id);
    if (found != links_.end() && action == QLatin1String(CopyLinksAction))
        CopyLinksToClipboard(found->second);
}

void DesktopNotifier::OnClosed(uint id, uint /*reason*/)
{
    links_.erase(id);
}
