// The address box's helpers: a pasted address "ftp[s|es]://host[:port][/path]"
// is taken apart into the boxes it belongs in, and the port follows the
// address's TLS prefix while the user has not typed a port of his own.

#include <QUrl>

#include "app/Main.h"

namespace {

bool IsImplicitTls(const QString& address)
{
    return address.trimmed().startsWith(QStringLiteral("ftps://"), Qt::CaseInsensitive);
}

} // namespace

void TForm1::AddressEdited(const QString& previous)
{
    // A paste (or a drop) changes several characters at once; a typed
    // address is taken apart when the user leaves the box, not while it is
    // half typed ("ftp://host:2" is not yet the port).
    if (addressedit->text().size() - previous.size() >= 2)
        TakeApartAddress();
    PortFollowsPrefix();
}

void TForm1::PortFollowsPrefix()
{
    // The usual ports: 21 for plain FTP and explicit TLS, 990 for implicit
    // TLS. A port the user typed (or that came with a pasted address) stays.
    if (portTyped_)
        return;
    const bool implicit = IsImplicitTls(addressedit->text());
    if (implicit && portedit->text() == u"21")
        portedit->setText(QStringLiteral("990"));
    else if (!implicit && portedit->text() == u"990")
        portedit->setText(QStringLiteral("21"));
}

void TForm1::TakeApartAddress()
{
    const QString text = addressedit->text().trimmed();
    const qsizetype schemeEnd = text.indexOf(QStringLiteral("://"));
    if (schemeEnd <= 0)
        return;
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"ftp" && scheme != u"ftps" && scheme != u"ftpes"))
        return;
    // Relative to the log-in directory, as in an ftp: URL; "%2F" at the
    // start makes it absolute.
    QString directory = url.path(QUrl::FullyDecoded);
    if (directory.startsWith(u'/'))
        directory.remove(0, 1);
    while (directory.endsWith(u'/') && directory.size() > 1)
        directory.chop(1);
    if (directory == u"/")
        directory.clear();
    const bool hasMore = url.port() != -1 || !directory.isEmpty() || !url.userName().isEmpty() || text.endsWith(u'/');
    if (!hasMore)
        return;

    // The prefix stays as typed: it says how the connection is secured.
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
