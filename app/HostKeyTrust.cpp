// Host-key trust: what the window asks when an SFTP server shows a host key
// that no known-hosts file holds yet.

#include "app/Main.h"
#include "platform/Dialogs.h"
#include "sftp/SftpClient.h"
#include "upload/SftpSession.h"

namespace {

QString Qs(const std::string& text)
{
    return QString::fromStdString(text);
}

// The file ssh records a trusted key in: the first known-hosts file.
QString RecordedIn(const TSftpClient& client)
{
    return Qs(client.KnownHostsFiles.empty() ? SftpDefaultKnownHostsFile() : client.KnownHostsFiles.front());
}

QString HostKeyQuestionText(const UploadTrustQuestion& question, const std::string& port, const QString& file)
{
    return QStringLiteral("The host key of %1 (port %2) is not known yet.\n\n").arg(Qs(question.host), Qs(port)) +
           QStringLiteral("Key type: %1\nFingerprint: %2\n\n").arg(Qs(question.keyType), Qs(question.fingerprint)) +
           QStringLiteral("If you can, compare the fingerprint with the one the server's administrator gave "
                          "you. Trust this key and remember it? It is recorded in %1, and Parcelo connects "
                          "without asking again. No cancels the log-in.")
               .arg(file);
}

} // namespace

bool TForm1::SshHostKeyTrusted(const UploadTrustQuestion& question)
{
    // The user has left: nobody is there to trust anything.
    if (closed_ || !SFTP)
        return false;
    Dialogs().Beep();
    // Trusting a key is a Yes given on purpose: Enter (or a key still held
    // down from pressing OK) answers No.
    const QString text = HostKeyQuestionText(question, SFTP->Client().Port, RecordedIn(SFTP->Client()));
    return Dialogs().RiskyQuestionBox(text.toStdString()) == DialogAnswer::Yes;
}
