#include "settings/Settings.h"

#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "settings/Encode.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

const std::string HostsKey = std::string(SettingsRootKey) + "\\Hosts";
const std::string OptionsKey = std::string(SettingsRootKey) + "\\Options";

// A profile's trusted certificate: the host that presented it and its
// SHA-256 fingerprint. Versions that know nothing of TLS ignore both.
const std::string TlsHostValue = "tlshost";
const std::string TlsFingerprintValue = "tlsfingerprint";
// A profile's web address, for the links of the files sent; older versions
// ignore it.
const std::string WebAddressValue = "webaddress";

// How files go up to a profile's server. Older versions ignore them.
const std::string TempSuffixValue = "tempsuffix";
const std::string IfExistsValue = "ifexists";
const std::string ReconnectsValue = "reconnects";
const std::string KeepTimeValue = "keeptime";
constexpr int MostReconnects = 99;

const char* ExistingFileRuleText(ExistingFileRule rule)
{
    switch (rule) {
    case ExistingFileRule::Skip: return "skip";
    case ExistingFileRule::Ask: return "ask";
    case ExistingFileRule::Overwrite: break;
    }
    return "overwrite";
}

// A rule this version does not know (written by a newer one) overwrites,
// as every version before the rule existed did.
ExistingFileRule ExistingFileRuleOf(const std::string& text)
{
    if (text == "skip")
        return ExistingFileRule::Skip;
    if (text == "ask")
        return ExistingFileRule::Ask;
    return ExistingFileRule::Overwrite;
}

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

// The scrambler of the saved passwords, set up as every version of Parcelo
// sets it up: the same key and steps read back what an older one saved.
void SetUpScrambler(Tencode& encode)
{
    encode.SetKey("QZRW");
    encode.SetTurning(true);
    encode.SetMoveNumber(6);
    encode.SetDecimalOut(false);
    encode.SetSequence("123");
}

std::string Scramble(const std::string& password)
{
    Tencode encode;
    SetUpScrambler(encode);
    encode.SetSequence("123");
    encode.SetMoveNumber(6);
    encode.SetTextInOut(password);
    return encode.TextInOut();
}

std::string Unscramble(const std::string& stored)
{
    Tencode encode;
    SetUpScrambler(encode);
    encode.SetSequence("321");
    encode.SetMoveNumber(-6);
    encode.SetTextInOut(stored);
    return encode.TextInOut();
}

// The values of the profile whose key is current, in the order the window
// applies them; `shown` stands for what the store does not hold.
void ReadProfile(TRegistry& reg, const QString& name, const Profile& shown, StoredProfile& p)
{
    p.stoppedIn = ProfileReadStage::Address;
    p.address = reg.ValueExists("address") ? FromStore(reg.ReadString("address")) : name;
    p.stoppedIn = ProfileReadStage::Port;
    if (reg.ValueExists("port"))
        p.port = FromStore(reg.ReadString("port"));
    p.stoppedIn = ProfileReadStage::Anonymous;
    if (reg.ValueExists("anonymous"))
        p.anonymous = reg.ReadBool("anonymous");

    // An anonymous log-in has its own user and password.
    p.stoppedIn = ProfileReadStage::Login;
    if (!p.anonymous.value_or(shown.anonymous)) {
        if (reg.ValueExists("username"))
            p.user = FromStore(reg.ReadString("username"));
        if (reg.ValueExists("remember"))
            p.remember = reg.ReadBool("remember");
        if (reg.ValueExists("password") && p.remember.value_or(shown.remember))
            p.password = FromStore(Unscramble(reg.ReadString("password")));
    }

    p.stoppedIn = ProfileReadStage::InSubdirectory;
    if (reg.ValueExists("insub"))
        p.inSubdirectory = reg.ReadBool("insub");
    p.stoppedIn = ProfileReadStage::Subdirectory;
    if (p.inSubdirectory.value_or(shown.inSubdirectory) && reg.ValueExists("subdir"))
        p.subdirectory = FromStore(reg.ReadString("subdir"));
    p.stoppedIn = ProfileReadStage::Transfer;
    if (reg.ValueExists(TempSuffixValue))
        p.tempSuffix = FromStore(reg.ReadString(TempSuffixValue));
    if (reg.ValueExists(IfExistsValue))
        p.ifExists = ExistingFileRuleOf(reg.ReadString(IfExistsValue));
    // Newer than the rest: a profile saved before it has none, which is no
    // web address rather than the one the window shows.
    p.stoppedIn = ProfileReadStage::WebAddress;
    p.webAddress = reg.ValueExists(WebAddressValue) ? FromStore(reg.ReadString(WebAddressValue)) : QString();
    p.stoppedIn = ProfileReadStage::Done;
}

void ReadOptions(TRegistry& reg, Options& o)
{
    if (!reg.OpenKey(OptionsKey, false))
        return;
    if (reg.ValueExists("usefirewall"))
        o.useFirewall = reg.ReadBool("usefirewall");
    if (reg.ValueExists("firewallhost"))
        o.firewallHost = FromStore(reg.ReadString("firewallhost"));
    if (reg.ValueExists("firewallport"))
        o.firewallPort = FromStore(reg.ReadString("firewallport"));
    if (reg.ValueExists("passivemode"))
        o.passiveMode = reg.ReadBool("passivemode");
    if (reg.ValueExists("exit"))
        o.exitWhenDone = reg.ReadBool("exit");
    if (reg.ValueExists("folders"))
        o.sendFolders = reg.ReadBool("folders");
    if (reg.ValueExists(ReconnectsValue))
        o.reconnectAttempts = std::clamp(reg.ReadInteger(ReconnectsValue), 0, MostReconnects);
    if (reg.ValueExists(KeepTimeValue))
        o.keepModificationTime = reg.ReadBool(KeepTimeValue);
    if (reg.OpenKey("Extensions", false)) {
        QStringList extensions;
        for (const std::string& name : reg.GetValueNames())
            extensions << FromStore(name);
        o.asciiExtensions = extensions;
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

// Where a read puts what it finds. The profile list, the e-mail address and
// the options are read only by the full read at start-up (`list` and
// `options` set).
struct ReadTargets {
    QString name; // the profile to load, unless the full read finds the last one
    const Profile& shown;
    StoredProfile& profile;
    StoredProfileList* list = nullptr;
    Options* options = nullptr;
    SettingsReadState* readState = nullptr;
};

// Reads the store; returns false when the store itself could not be used
// (already reported).
bool ReadStore(TRegistry& reg, ReadTargets& t)
{
    const bool full = t.list != nullptr;
    if (reg.OpenKey(HostsKey, false)) {
        if (full) {
            QStringList names;
            for (const std::string& name : reg.GetKeyNames())
                names << FromStore(name);
            t.list->names = names;
            if (reg.ValueExists("lasthost")) {
                t.list->lastHost = FromStore(reg.ReadString("lasthost"));
                t.name = *t.list->lastHost;
            }
            if (reg.ValueExists("emailaddress"))
                t.options->emailAddress = FromStore(reg.ReadString("emailaddress"));
        }
        // An empty name opens "Hosts" itself, where no profile values live.
        if (reg.OpenKey(ToStore(t.name), false))
            ReadProfile(reg, t.name, t.shown, t.profile);
        reg.CloseKey();
    } else if (RegistryStoreFailed(reg.LastError())) {
        Dialogs().ErrorBox(StoreFailureText(reg.LastError()));
        if (full)
            t.readState->problem = RegistryErrorText(reg.LastError()) +
                                   (reg.LastError() == ERROR_BUSY
                                        ? " Close the program that holds it, then start Parcelo again."
                                        : " Move the file away to start with fresh settings (or restore it from a "
                                          "backup), then start Parcelo again.");
        return false;
    }
    if (full)
        ReadOptions(reg, *t.options);
    return true;
}

// A load of the whole store or of one profile; a value of the wrong kind
// met by the full read is noted with how to mend it, and thrown on.
void Read(ReadTargets& t)
{
    const bool full = t.list != nullptr;
    TRegistry reg(HKEY_CURRENT_USER);
    try {
        if (!ReadStore(reg, t) && full)
            t.readState->failed = true;
    } catch (const ERegistryException& e) {
        if (full) {
            t.readState->failed = true;
            t.readState->problem = BadValueProblem(e.what(), reg.CurrentPath());
        }
        throw;
    }
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

void ReadAllSettings(const QString& typed, const Profile& shown, StoredProfileList& list, StoredProfile& profile,
                     Options& options, SettingsReadState& readState)
{
    ReadTargets targets{typed, shown, profile, &list, &options, &readState};
    Read(targets);
}

void ReadProfileSettings(const QString& name, const Profile& shown, StoredProfile& profile)
{
    ReadTargets targets{name, shown, profile};
    Read(targets);
}

void WriteSettings(const QString& name, const Profile& profile, const Options& options,
                   const TrustedCertificate* trusted, const SettingsReadState& readState)
{
    if (name.isEmpty())
        return;
    if (readState.failed) {
        // Saving now would put the defaults over options and extensions that
        // were never read.
        std::string text = "The settings were not saved: Parcelo could not read \"" + RegistryStorePath() +
                           "\" when it started, and leaves that file as it is.";
        if (!readState.problem.empty())
            text += "\n" + readState.problem;
        Dialogs().MessageBox(text);
        return;
    }
    TRegistry reg(HKEY_CURRENT_USER);
    if (!reg.OpenKey(HostsKey, true)) {
        Dialogs().MessageBox("Error opening Registry Key \"Parcelo\"");
        if (RegistryStoreFailed(reg.LastError()))
            return; // the options cannot fare better
    } else {
        reg.WriteString("lasthost", ToStore(name));
        if (profile.anonymous)
            reg.WriteString("emailaddress", ToStore(profile.password));
        if (reg.OpenKey(ToStore(name), true)) {
            reg.WriteString("address", ToStore(profile.address));
            reg.WriteString("port", ToStore(profile.port));
            reg.WriteBool("anonymous", profile.anonymous);
            if (!profile.anonymous) {
                reg.WriteString("username", ToStore(profile.user));
                reg.WriteBool("remember", profile.remember);
                if (profile.remember) {
                    const std::string password = ToStore(profile.password);
                    const std::string stored = Scramble(password);
                    if (Unscramble(stored) == password) {
                        reg.WriteString("password", stored);
                    } else {
                        // A byte whose XOR with its key byte is 255 would come
                        // back as the key byte: rather no password than a
                        // wrong one.
                        reg.WriteString("password", "");
                        Dialogs().MessageBox("The password of profile \"" + ToStore(name) +
                                             "\" was not saved: it holds a character that Parcelo cannot store. "
                                             "Type it again on the next upload.");
                    }
                } else {
                    reg.WriteString("password", "");
                }
            }
            reg.WriteBool("insub", profile.inSubdirectory);
            if (profile.inSubdirectory)
                reg.WriteString("subdir", ToStore(profile.subdirectory));
            reg.WriteString(TempSuffixValue, ToStore(profile.tempSuffix));
            reg.WriteString(IfExistsValue, ExistingFileRuleText(profile.ifExists));
            reg.WriteString(WebAddressValue, ToStore(profile.webAddress));
            if (trusted != nullptr && IsFingerprint(trusted->fingerprint) && trusted->profile == name) {
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
    reg.WriteBool("usefirewall", options.useFirewall);
    reg.WriteString("firewallhost", ToStore(options.firewallHost));
    reg.WriteString("firewallport", ToStore(options.firewallPort));
    reg.WriteBool("passivemode", options.passiveMode);
    reg.WriteBool("exit", options.exitWhenDone);
    reg.WriteBool("folders", options.sendFolders);
    reg.WriteInteger(ReconnectsValue, std::clamp(options.reconnectAttempts, 0, MostReconnects));
    reg.WriteBool(KeepTimeValue, options.keepModificationTime);
    (void)reg.DeleteKey("Extensions");
    if (reg.OpenKey("Extensions", true)) {
        for (const QString& extension : options.asciiExtensions)
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
