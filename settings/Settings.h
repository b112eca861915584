// The settings load and save: moves the saved server profiles, the last
// profile used, the program-wide options and the ascii extension list
// between the registry store and plain values. Which control shows which
// value is the window's business (app/SettingsBinding.h).
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>

// The key below HKEY_CURRENT_USER that holds everything.
inline constexpr char SettingsRootKey[] = "Software\\Parcelo";

// A server profile as the window shows it and a save stores it.
// What an upload does with a file the server has already.
enum class ExistingFileRule {
    Overwrite,
    Skip, // when the server's copy has the same size and is not older
    Ask,
};

struct Profile {
    QString address;
    QString port;
    QString user;
    QString password; // in clear; the store keeps it scrambled
    bool anonymous = false;
    bool remember = false;       // save the password
    bool inSubdirectory = false; // send into `subdirectory`, not the log-in directory
    QString subdirectory;
    // How files go up to this server; edited in the Options dialog.
    QString tempSuffix; // not empty: sent as name+suffix, renamed once complete
    ExistingFileRule ifExists = ExistingFileRule::Overwrite;
    // Where the log-in directory shows on the web ("https://example.org/files/");
    // empty: no links after a job.
    QString webAddress;
};

// The program-wide options, with the e-mail address offered as the
// password of an anonymous log-in and the extensions sent in ascii mode.
struct Options {
    QString emailAddress;
    QString firewallHost;
    QString firewallPort;
    bool useFirewall = false;
    bool passiveMode = true; // a fresh store starts passive: active mode hangs behind NAT
    bool exitWhenDone = false;
    // A folder in the list is sent with its whole tree; off, it is listed
    // and not sent.
    bool sendFolders = false;
    QStringList asciiExtensions{QStringLiteral(".txt")}; // with their dot
    int reconnectAttempts = 3;                           // after a broken connection, per job; 0: none
    bool keepModificationTime = false;                   // the server's copy gets the local file's time
};

// How far a profile load got. The store is read value by value in this
// order; a value of the wrong kind ends the read, and the window then shows
// what was read before it, as far as it got.
enum class ProfileReadStage {
    Address,
    Port,
    Anonymous,
    Login,          // username, remember, password
    InSubdirectory, // insub
    Subdirectory,   // subdir
    Transfer,       // tempsuffix, ifexists
    WebAddress,     // webaddress
    Done,
};

// What a load found of a profile. A value the store does not hold (or that
// the load did not read) is missing: the window keeps what it shows there.
struct StoredProfile {
    std::optional<QString> address; // the profile's name when none is saved
    std::optional<QString> port;
    std::optional<bool> anonymous;
    std::optional<QString> user;
    std::optional<bool> remember;
    std::optional<QString> password; // unscrambled
    std::optional<bool> inSubdirectory;
    std::optional<QString> subdirectory;
    std::optional<QString> tempSuffix;
    std::optional<ExistingFileRule> ifExists;
    std::optional<QString> webAddress; // empty when the store has none
    // The stage the read ended in: Done when it read everything it needed.
    ProfileReadStage stoppedIn = ProfileReadStage::Address;
};

// What a full read at start-up found besides the profile.
struct StoredProfileList {
    std::optional<QStringList> names; // every saved profile, in name order
    std::optional<QString> lastHost;  // the profile of the last saved upload
};

// A server certificate the user trusted during this run although it failed
// verification. It belongs to the profile that was being connected (by
// name) and to the host that presented it (the server, or the firewall
// host when the connection went through one). Saved with that profile.
struct TrustedCertificate {
    QString profile;
    std::string host;        // without the address's "ftpes://"-style prefix
    std::string fingerprint; // SHA-256, 64 lowercase hex digits; empty: none
};

// Whether the full read at start-up could read the store, kept for the run:
// when it could not (or stopped at a value of the wrong kind), a save leaves
// the store alone.
struct SettingsReadState {
    bool failed = false;
    std::string problem; // what went wrong and how the user can mend it
};

// The full read at start-up: the profile list and the last profile
// (`list`), the profile then named (`typed` unless a last profile is saved)
// into `profile`, the e-mail address and the options into `options`.
// `shown` is what the window shows before the read; it decides, as the
// loaded values do, which of the profile's values apply (no user name or
// password for an anonymous profile, no password unless it is saved, no
// sub-directory unless it is used).
// What is read is put into the outputs as it is read: a value of the wrong
// kind throws ERegistryException and leaves in them what came before it.
// A store that cannot be used at all (not a settings database, locked) is
// reported once in the error box and the read ends. Either failure is noted
// in `readState`.
void ReadAllSettings(const QString& typed, const Profile& shown, StoredProfileList& list, StoredProfile& profile,
                     Options& options, SettingsReadState& readState);

// Loads only the profile `name`, as above.
void ReadProfileSettings(const QString& name, const Profile& shown, StoredProfile& profile);

// Saves `profile` under `name`, "lasthost", "emailaddress" (the password of
// an anonymous profile) and the options. Does nothing when `name` is empty;
// shows why and saves nothing when the start-up read failed. A failed write
// throws ERegistryException.
// The profile's trusted certificate ("tlsfingerprint" and "tlshost") is
// written only when `trusted` (may be null) was trusted for this profile
// name; otherwise whatever the profile has stays.
void WriteSettings(const QString& name, const Profile& profile, const Options& options,
                   const TrustedCertificate* trusted, const SettingsReadState& readState);

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

// Text as the store keeps it: UTF-8 bytes. Bytes that are not UTF-8 (a store
// filled by another program) read as Latin-1, so no byte is lost.
std::string ToStore(const QString& text);
QString FromStore(const std::string& bytes);
