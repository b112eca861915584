// The settings load and save: moves the saved server profiles, the last
// profile used, the program-wide options and the ascii extension list between
// the registry store and the main window, plus the reactions of the profile
// controls that a load relies on.
#pragma once

#include <QString>
#include <QStringList>

#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;
class QWidget;
class Tencode;

// The key below HKEY_CURRENT_USER that holds everything.
inline constexpr char SettingsRootKey[] = "Software\\Parcelo";

// A server certificate the user trusted during this run although it failed
// verification. It belongs to the profile that was being connected (by
// name) and to the host that presented it (the server, or the firewall
// host when the connection went through one). Saved with that profile.
struct TrustedCertificate {
    QString profile;
    std::string host;        // without the address's "ftpes://"-style prefix
    std::string fingerprint; // SHA-256, 64 lowercase hex digits; empty: none
};

// What the load and save work on: the main window's profile controls, its
// scrambler, its ascii extension list and the module-wide options. Every
// pointer must be set.
struct SettingsView {
    QComboBox* hostcmbox = nullptr;
    QLineEdit* addressedit = nullptr;
    QLineEdit* portedit = nullptr;
    QLineEdit* useredit = nullptr;
    QLineEdit* passedit = nullptr;
    QCheckBox* anonyckbox = nullptr;
    QCheckBox* remckbox = nullptr;
    QRadioButton* RB1 = nullptr;
    QRadioButton* RB2 = nullptr;
    QComboBox* dircmbox = nullptr;
    Tencode* encode1 = nullptr;
    QStringList* txtlist = nullptr;

    QString* emailAddress = nullptr;
    QString* firewallHost = nullptr;
    QString* firewallPort = nullptr;
    bool* useFirewall = nullptr;
    bool* passiveMode = nullptr;
    bool* exitWhenDone = nullptr;

    // The certificate trusted during this run, if any: the save stores it
    // with the profile when the profile saved is the one it was trusted for.
    // May be null.
    const TrustedCertificate* trustedCertificate = nullptr;

    // Set when the full read at start-up could not read the store (or stopped
    // at a value of the wrong kind); the save then leaves the store alone.
    bool* startupReadFailed = nullptr;
    // What went wrong then and how the user can mend it, for the message
    // that declines a save.
    std::string* startupReadProblem = nullptr;
};

// Reads the settings into the view. Mode "f" is the full read at start-up
// (profile list, last profile, e-mail address, options, extensions); any
// other mode loads only the profile named by the profile box. A value of the
// wrong kind throws ERegistryException and ends the read there. A store that
// cannot be used at all (not a settings database, locked) is reported once in
// the error box and the read ends.
void ReadSettings(const SettingsView& view, const QString& mode);

// Saves the current profile, "lasthost", "emailaddress" and the options.
// Does nothing when the profile box is empty. A failed write throws
// ERegistryException.
// The profile's trusted certificate ("tlsfingerprint" and "tlshost") is
// written only when the view's trusted certificate was trusted for this
// profile name; otherwise whatever the profile has stays.
void WriteSettings(const SettingsView& view);

// Deletes the saved profile `profile` with everything below it; nothing
// when no such profile is saved. A name made only of backslashes names no
// profile (it would name the key that holds them all) and deletes nothing.
void DeleteSavedProfile(const QString& profile);

// The fingerprint of the certificate trusted for `profile` when `host`
// presents it (host names compared without regard to ASCII case): the one
// trusted during this run (`thisRun`, may be null) for that profile and
// host, else the one saved with the profile for that host. Empty when there
// is none, the saved one is for another host or is no fingerprint, or the
// store cannot be read. Quiet: shows no box and throws nothing.
std::string RememberedFingerprint(const QString& profile, const std::string& host,
                                  const TrustedCertificate* thisRun = nullptr);

// When "lasthost" names `deleted`, makes it name `successor` (empty for no
// profile); otherwise leaves it as it is.
void MoveLastHostOff(const QString& deleted, const QString& successor);

// Reactions of the profile controls, run whenever the control's state
// changes (also when the program sets it).
void AnonymousSwitched(const SettingsView& view);    // anonyckbox
void LoginDirectoryChosen(const SettingsView& view); // RB1 became checked
void SubDirectoryChosen(const SettingsView& view);   // RB2 became checked

// Text as the store keeps it: UTF-8 bytes. Bytes that are not UTF-8 (a store
// filled by another program) read as Latin-1, so no byte is lost.
std::string ToStore(const QString& text);
QString FromStore(const std::string& bytes);
