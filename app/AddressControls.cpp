// The address box's helpers: a pasted address
// "ftp[s|es]://host[:port][/path]" or "sftp://host[:port][/path]" is taken
// apart into the boxes it belongs in, and the port follows the address's
// prefix while the user has not typed a port of his own.

#include <QUrl>

#include "app/Main.h"

namespace {

// What an address's prefix says about the port it usually has.
enum class AddressKind { Ftp, ImplicitTls, Sftp };

AddressKind KindOf(const QString& address)
{
    const QString text = address.trimmed();
    if (text.startsWith(QStringLiteral("ftps://"), Qt::CaseInsensitive))
        return AddressKind::ImplicitTls;
    if (text.startsWith(QStringLiteral("sftp://"), Qt::CaseInsensitive))
        return AddressKind::Sftp;
    return AddressKind::Ftp;
}

QString UsualPort(AddressKind kind)
{
    switch (kind) {
    case AddressKind::Ftp: break;
    case AddressKind::ImplicitTls: return QStringLiteral("990");
    case AddressKind::Sftp: return QStringLiteral("22");
    }
    return QStringLiteral("21");
}

bool IsUsualPort(const QString& port)
{
    return port == u"21" || port == u"990" || port == u"22";
}

} // namespace

void TForm1::AddressEdited(const QString& previous)
{
    // A paste (or a drop) changes several characters at once; a typed
    // address is taken apart when the user leaves the box, not while it is
    // half typed ("ftp://host:2" is not yet the port).
    if (addressedit->text().size() - previous.size() >= 2)
        TakeApartAddress();
    PortFollowsPrefix(previous);
}

void TForm1::PortFollowsPrefix(const QString& previous)
{
    // The usual ports: 21 for plain FTP and explicit TLS, 990 for implicit
    // TLS, 22 for SFTP. The port moves only when the prefix says another
    // kind of server than before, and only from one usual port to another:
    // a port the user typed (or that came with a pasted address) stays, and
    // so does an unusual port a profile brought, whatever is edited after
    // the prefix.
    if (portTyped_)
        return;
    const AddressKind kind = KindOf(addressedit->text());
    if (kind != KindOf(previous) && IsUsualPort(portedit->text()))
        portedit->setText(UsualPort(kind));
}

void TForm1::TakeApartAddress()
{
    const QString text = addressedit->text().trimmed();
    const qsizetype schemeEnd = text.indexOf(QStringLiteral("://"));
    if (schemeEnd <= 0)
        return;
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    const bool sftp = scheme == u"sftp";
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != u"ftp" && scheme != u"ftps" && scheme != u"ftpes" && !sftp))
        return;
    QString directory = url.path(QUrl::FullyDecoded);
    if (!sftp) {
        // Relative to the log-in directory, as in an ftp: URL; "%2F" at the
        // start makes it absolute.
        if (directory.startsWith(u'/'))
            directory.remove(0, 1);
    } else if (directory == u"/~" || directory.startsWith(QStringLiteral("/~/"))) {
        // An sftp: URL names the path from the server's root; "/~/" starts
        // it in the log-in (home) directory.
        directory.remove(0, directory.size() > 2 ? 3 : 2);
    }
    while (directory.endsWith(u'/') && directory.size() > 1)
        directory.chop(1);
    if (directory == u"/")
        directory.clear();
    const bool hasMore = url.port() != -1 || !directory.isEmpty() || !url.userName().isEmpty() || text.endsWith(u'/');
    if (!hasMore)
        return;

    // The prefix stays as typed: it says the protocol and how the
    // connection is secured.
    const QString host = url.host().contains(u':') ? u'[' + url.host() + u']' : url.host();
    addressedit->setText(text.left(schemeEnd + 3) + host);
    if (url.port() != -1) {
        portedit->setText(QString::number(url.port()));
        portTyped_ = true;
    }
    if (!url.userName().isEmpty()) {
        useredit->setText(url.userName());
        if (!url.password().isEmpty())
            passedit->setText(url.password());
    }
    if (!directory.isEmpty()) {
        subdirRadio->setChecked(true);
        dircmbox->setEditText(directory);
    }
}
