#include "settings/Settings.h"

#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "settings/Encode.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalBlocker>

#include <algorithm>

namespace {

const std::string HostsKey = std::string(SettingsRootKey) + "\\Hosts";
const std::string OptionsKey = std::string(SettingsRootKey) + "\\Options";

// A profile's trusted certificate: the host that presented it and its
// SHA-256 fingerprint. Versions that know nothing of TLS ignore both.
const std::string TlsHostValue = "tlshost";
const std::string TlsFingerprintValue = "tlsfingerprint";

// A name made only of backslashes names no profile: it would name the key
// that holds them all.
bool NamesAProfile(const QString& profile)
{
    return profile.contains(QRegularExpression(QStringLiteral("[^\\\\]")));
}

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A SHA-256 fingerprint as Parcelo stores it: 64 lowercase hex digits.
bool IsFingerprint(const std::string& text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// Host names compare without regard to ASCII case.
bool SameHost(const std::string& a, const std::string& b)
{
    return !a.empty() && a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

std::string StoreFailureText(LONG code)
{
    return "Parcelo could not read its settings from \"" + RegistryStorePath() + "\": " + RegistryErrorText(code) +
           "\nParcelo starts without the saved profiles and options and leaves that file as it is.";
}

// Sets the profile box's text as the program does: no change reaction runs,
// and no list entry becomes selected.
void SetProfileText(QComboBox* box, const QString& text)
{
    const QSignalBlocker quiet(box);
    box->setCurrentIndex(-1);
    box->setEditText(text);
}

void SetEditText(QComboBox* box, const QString& text)
{
    if (box->isEditable())
        box->setEditText(text);
}

std::string Scramble(Tencode& encode, const std::string& password)
{
    encode.SetSequence("123");
    encode.SetMoveNumber(6);
    encode.SetTextInOut(password);
    return encode.TextInOut();
}

std::string Unscramble(Tencode& encode, const std::string& stored)
{
    encode.SetSequence("321");
    encode.SetMoveNumber(-6);
    encode.SetTextInOut(stored);
    return encode.TextInOut();
}

// The fields of the profile whose key is current, into the controls.
void ReadProfile(const SettingsView& v, TRegistry& reg, const QString& profile)
{
    v.addressedit->setText(reg.ValueExists("address") ? FromStore(reg.ReadString("address")) : profile);
    if (reg.ValueExists("port"))
        v.portedit->setText(FromStore(reg.ReadString("port")));
    // Setting the box runs its reaction when the state changes.
    if (reg.ValueExists("anonymous"))
        v.anonyckbox->setChecked(reg.ReadBool("anonymous"));

    if (v.anonyckbox->isChecked()) {
        v.useredit->setText(QStringLiteral("anonymous"));
        v.passedit->setEchoMode(QLineEdit::Normal);
        v.passedit->setText(*v.emailAddress);
        v.remckbox->setChecked(true);
    } else {
        v.passedit->setEchoMode(QLineEdit::Password);
        if (reg.ValueExists("username"))
            v.useredit->setText(FromStore(reg.ReadString("username")));
        if (reg.ValueExists("remember"))
            v.remckbox->setChecked(reg.ReadBool("remember"));
        if (reg.ValueExists("password") && v.remckbox->isChecked())
            v.passedit->setText(FromStore(Unscramble(*v.encode1, reg.ReadString("password"))));
    }

    if (reg.ValueExists("insub")) {
        // A checked radio button of a group cannot be unchecked by itself:
        // checking its partner does it.
        if (reg.ReadBool("insub"))
            v.RB2->setChecked(true);
        else
            v.RB1->setChecked(true);
    }
    if (!v.RB2->isChecked()) {
        SetEditText(v.dircmbox, QString());
        v.RB1->setChecked(true);
    } else if (reg.ValueExists("subdir")) {
        SetEditText(v.dircmbox, FromStore(reg.ReadString("subdir")));
    }
}

void ReadOptions(const SettingsView& v, TRegistry& reg)
{
    if (!reg.OpenKey(OptionsKey, false))
        return;
    if (reg.ValueExists("usefirewall"))
        *v.useFirewall = reg.ReadBool("usefirewall");
    if (reg.ValueExists("firewallhost"))
        *v.firewallHost = FromStore(reg.ReadString("firewallhost"));
    if (reg.ValueExists("firewallport"))
        *v.firewallPort = FromStore(reg.ReadString("firewallport"));
    if (reg.ValueExists("passivemode"))
        *v.passiveMode = reg.ReadBool("passivemode");
    if (reg.ValueExists("exit"))
        *v.exitWhenDone = reg.ReadBool("exit");
    if (reg.OpenKey("Extensions", false)) {
        QStringList extensions;
        for (const std::string& name : reg.GetValueNames())
            extensions << FromStore(name);
        *v.txtlist = extensions;
    }
    reg.CloseKey();
}

// The reason a value could not be read and what mends it: a bad value in a
// profile goes with the profile; anything else must be mended in the file.
std::string BadValueProblem(const std::string& error, const std::string& key)
{
    std::string problem = error + " in \"" + key + "\".";
    const std::string profiles = HostsKey + "\\";
    const std::string profile = key.compare(0, profiles.size(), profiles) == 0 ? key.substr(profiles.size()) : "";
    if (!profile.empty() && profile.find('\\') == std::string::npos)
        return problem + " To mend it, delete the profile \"" + profile +
               "\" with the Delete profile button and start Parcelo again.";
    return problem + " To mend it, correct or delete that value with the sqlite3 command, or move the file away to "
                     "start with fresh settings, then start Parcelo again.";
}

bool ReadStore(const SettingsView& v, TRegistry& reg, bool full);

// A load of the whole store or of one profile; returns false when the store
// itself could not be used (already reported).
bool Read(const SettingsView& v, const QString& mode)
{
    const bool full = mode == QLatin1String("f");
    TRegistry reg(HKEY_CURRENT_USER);
    try {
        return ReadStore(v, reg, full);
    } catch (const ERegistryException& e) {
        if (full && v.startupReadProblem)
            *v.startupReadProblem = BadValueProblem(e.what(), reg.CurrentPath());
        throw;
    }
}

bool ReadStore(const SettingsView& v, TRegistry& reg, bool full)
{
    if (reg.OpenKey(HostsKey, false)) {
        if (full) {
            const QString typed = v.hostcmbox->currentText();
            {
                const QSignalBlocker quiet(v.hostcmbox);
                v.hostcmbox->clear();
                for (const std::string& name : reg.GetKeyNames())
                    v.hostcmbox->addItem(FromStore(name));
            }
            SetProfileText(v.hostcmbox, typed);
            if (reg.ValueExists("lasthost"))
                SetProfileText(v.hostcmbox, FromStore(reg.ReadString("lasthost")));
            if (reg.ValueExists("emailaddress"))
                *v.emailAddress = FromStore(reg.ReadString("emailaddress"));
        }
        // An empty name opens "Hosts" itself, where no profile values live.
        const QString profile = v.hostcmbox->currentText();
        if (reg.OpenKey(ToStore(profile), false))
            ReadProfile(v, reg, profile);
        reg.CloseKey();
    } else if (RegistryStoreFailed(reg.LastError())) {
        Dialogs().ErrorBox(StoreFailureText(reg.LastError()));
        if (full && v.startupReadProblem)
            *v.startupReadProblem = RegistryErrorText(reg.LastError()) +
                                    (reg.LastError() == ERROR_BUSY
                                         ? " Close the program that holds it, then start Parcelo again."
                                         : " Move the file away to start with fresh settings (or restore it from a "
                                           "backup), then start Parcelo again.");
        return false;
    }
    if (full)
        ReadOptions(v, reg);
    return true;
}

} // namespace

std::string ToStore(const QString& text)
{
    return text.toUtf8().toStdString();
}

QString FromStore(const std::string& bytes)
{
    const QByteArray raw = QByteArray::fromStdString(bytes);
    QString text = QString::fromUtf8(raw);
    if (text.toUtf8() != raw)
        text = QString::fromLatin1(raw);
    return text;
}

void ReadSettings(const SettingsView& view, const QString& mode)
{
    const bool full = mode == QLatin1String("f");
    try {
        if (!Read(view, mode) && full)
            *view.startupReadFailed = true;
    } catch (const ERegistryException&) {
        if (full)
            *view.startupReadFailed = true;
        throw;
    }
}

void WriteSettings(const SettingsView& v)
{
    const QString profile = v.hostcmbox->currentText();
    if (profile.isEmpty())
        return;
    if (*v.startupReadFailed) {
        // Saving now would put the defaults over options and extensions that
        // were never read.
        std::string text = "The settings were not saved: Parcelo could not read \"" + RegistryStorePath() +
                           "\" when it started, and leaves that file as it is.";
        if (v.startupReadProblem && !v.startupReadProblem->empty())
            text += "\n" + *v.startupReadProblem;
        Dialogs().MessageBox(text);
        return;
    }
    TRegistry reg(HKEY_CURRENT_USER);
    if (!reg.OpenKey(HostsKey, true)) {
        Dialogs().MessageBox("Error opening Registry Key \"Parcelo\"");
        if (RegistryStoreFailed(reg.LastError()))
            return; // the options cannot fare better
    } else {
        reg.WriteString("lasthost", ToStore(profile));
        if (v.anonyckbox->isChecked())
            reg.WriteString("emailaddress", ToStore(v.passedit->text()));
        if (reg.OpenKey(ToStore(profile), true)) {
            reg.WriteString("address", ToStore(v.addressedit->text()));
            reg.WriteString("port", ToStore(v.portedit->text()));
            reg.WriteBool("anonymous", v.anonyckbox->isChecked());
            if (!v.anonyckbox->isChecked()) {
                reg.WriteString("username", ToStore(v.useredit->text()));
                reg.WriteBool("remember", v.remckbox->isChecked());
                if (v.remckbox->isChecked()) {
                    const std::string password = ToStore(v.passedit->text());
                    const std::string stored = Scramble(*v.encode1, password);
                    if (Unscramble(*v.encode1, stored) == password) {
                        reg.WriteString("password", stored);
                    } else {
                        // A byte whose XOR with its key byte is 255 would come
                        // back as the key byte: rather no password than a
                        // wrong one.
                        reg.WriteString("password", "");
                        Dialogs().MessageBox("The password of profile \"" + ToStore(profile) +
                                             "\" was not saved: it holds a character that Parcelo cannot store. "
                                             "Type it again on the next upload.");
                    }
                } else {
                    reg.WriteString("password", "");
                }
            }
            reg.WriteBool("insub", v.RB2->isChecked());
            if (v.RB2->isChecked())
                reg.WriteString("subdir", ToStore(v.dircmbox->currentText()));
            const TrustedCertificate* trusted = v.trustedCertificate;
            if (trusted != nullptr && IsFingerprint(trusted->fingerprint) && trusted->profile == profile) {
                // The old fingerprint goes first: a write that fails half-way
                // must not pair it with the new host.
                reg.WriteString(TlsFingerprintValue, "");
                reg.WriteString(TlsHostValue, trusted->host);
                reg.WriteString(TlsFingerprintValue, trusted->fingerprint);
            }
        }
    }
    reg.CloseKey();

    if (!reg.OpenKey(OptionsKey, true))
        return;
    reg.WriteBool("usefirewall", *v.useFirewall);
    reg.WriteString("firewallhost", ToStore(*v.firewallHost));
    reg.WriteString("firewallport", ToStore(*v.firewallPort));
    reg.WriteBool("passivemode", *v.passiveMode);
    reg.WriteBool("exit", *v.exitWhenDone);
    (void)reg.DeleteKey("Extensions");
    if (reg.OpenKey("Extensions", true)) {
        for (const QString& extension : *v.txtlist)
            reg.WriteString(ToStore(extension), "");
    }
    reg.CloseKey();
}

void DeleteSavedProfile(const QString& profile)
{
    if (!NamesAProfile(profile))
        return;
    TRegistry reg;
    const std::string key = HostsKey + "\\" + ToStore(profile);
    if (reg.KeyExists(key))
        (void)reg.DeleteKey(key);
}

std::string RememberedFingerprint(const QString& profile, const std::string& host, const TrustedCertificate* thisRun)
{
    if (thisRun != nullptr && IsFingerprint(thisRun->fingerprint) && thisRun->profile == profile &&
        SameHost(thisRun->host, host))
        return thisRun->fingerprint;
    if (!NamesAProfile(profile))
        return {};
    try {
        TRegistry reg;
        if (!reg.OpenKey(HostsKey + "\\" + ToStore(profile), false) || !reg.ValueExists(TlsHostValue) ||
            !reg.ValueExists(TlsFingerprintValue) || !SameHost(reg.ReadString(TlsHostValue), host))
            return {};
        std::string fingerprint = reg.ReadString(TlsFingerprintValue);
        return IsFingerprint(fingerprint) ? fingerprint : std::string();
    } catch (const ERegistryException&) {
        // A value of the wrong kind trusts nothing; loading the profile
        // reports it.
        return {};
    }
}

void MoveLastHostOff(const QString& deleted, const QString& successor)
{
    TRegistry reg;
    if (!reg.OpenKey(HostsKey, true))
        return;
    const std::string lastHost = reg.ValueExists("lasthost") ? reg.ReadString("lasthost") : std::string();
    if (lastHost == ToStore(deleted))
        reg.WriteString("lasthost", ToStore(successor));
    reg.CloseKey();
}

void AnonymousSwitched(const SettingsView& v)
{
    if (v.anonyckbox->isChecked()) {
        v.useredit->setText(QStringLiteral("anonymous"));
        v.passedit->setEchoMode(QLineEdit::Normal);
        v.passedit->setText(*v.emailAddress);
        v.remckbox->setChecked(true);
    } else {
        v.useredit->clear();
        v.passedit->setEchoMode(QLineEdit::Password);
        v.passedit->clear();
        v.useredit->setFocus();
    }
}

void LoginDirectoryChosen(const SettingsView& v)
{
    SetEditText(v.dircmbox, QString());
    v.dircmbox->setEnabled(false);
}

void SubDirectoryChosen(const SettingsView& v)
{
    v.dircmbox->setEnabled(true);
}
