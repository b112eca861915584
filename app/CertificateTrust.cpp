// Certificate trust: what the window asks when a server's certificate fails
// verification.

#include "app/Main.h"
#include "ftp/Ftpcli.h"
#include "net/SslContext.h"
#include "platform/Dialogs.h"

namespace {

QString Qs(const std::string& text)
{
    return QString::fromStdString(text);
}

// "for the profile "work"", or, for a profile without a name (the directory
// list fetched before one was typed), this run only.
QString ForProfile(const QString& profile)
{
    return profile.isEmpty() ? QStringLiteral("for this run of Parcelo")
                             : QStringLiteral("for the profile \"%1\"").arg(profile);
}

QString Shown(const std::string& fingerprint)
{
    return Qs(SslFingerprintDisplay(fingerprint));
}

// What the certificate says about itself. Whoever runs the server writes
// these texts: the socket gives them with every control and line or
// paragraph separator escaped (SslVisibleText), so each stays on its line,
// and they come after the fingerprint, never above it.
QString CertificateDetails(const TSslPeerInfo& peer)
{
    return QStringLiteral("Subject: %1\nIssuer: %2\nValid from %3 to %4\n")
        .arg(Qs(peer.subject), Qs(peer.issuer), Qs(peer.notBefore), Qs(peer.notAfter));
}

QString WhyNotVerified(const TSslPeerInfo& peer)
{
    return peer.verifyError.empty() ? QStringLiteral(".") : QStringLiteral(": ") + Qs(peer.verifyError) + u'.';
}

// The question for a certificate that failed verification; a stronger
// warning when another certificate was trusted for the same server before.
QString CertificateQuestionText(const TFtpCertificateQuestion& question, const QString& profile)
{
    const TSslPeerInfo& peer = question.peer;
    const QString host = Qs(SslVisibleText(question.host));
    if (question.rememberedFingerprint.empty()) {
        return QStringLiteral("The certificate of %1 could not be verified").arg(host) + WhyNotVerified(peer) +
               QStringLiteral("\n\nSHA-256 fingerprint: %1\n\n").arg(Shown(peer.fingerprint)) +
               CertificateDetails(peer) +
               QStringLiteral("\nTrust this certificate %1? Parcelo then remembers its fingerprint and accepts it "
                              "without asking again. No cancels the log-in.")
                   .arg(ForProfile(profile));
    }
    return QStringLiteral("WARNING: the certificate of %1 has CHANGED since it was trusted %2.\n"
                          "This can mean that someone is intercepting the connection. Say Yes only if you know "
                          "that the server has a new certificate.\n\n")
               .arg(host, ForProfile(profile)) +
           QStringLiteral("Trusted before: SHA-256 %1\nSent now: SHA-256 %2\n\n")
               .arg(Shown(question.rememberedFingerprint), Shown(peer.fingerprint)) +
           QStringLiteral("The new certificate could not be verified") + WhyNotVerified(peer) + u'\n' +
           CertificateDetails(peer) +
           QStringLiteral("\nTrust the new certificate %1 instead of the old one? No cancels the log-in.")
               .arg(ForProfile(profile));
}

} // namespace

void TForm1::FTPVerifyCertificate(TObject*, const TFtpCertificateQuestion& Question, bool& Trust)
{
    Trust = false;
    // The user has left: nobody is there to trust anything.
    if (closed_)
        return;
    Dialogs().Beep();
    if (Dialogs().RiskyQuestionBox(CertificateQuestionText(Question, connectProfile_).toStdString()) !=
        DialogAnswer::Yes)
        return;
    Trust = true;
    // Remembered for the profile and host of this connection, whatever the
    // boxes show by now; writereg saves it with that profile.
    std::string fingerprint;
    if (SslParseFingerprint(Question.peer.fingerprint, fingerprint))
        trustedCertificate_ = {connectProfile_, connectHost_, fingerprint};
}
