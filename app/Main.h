#pragma once
// The main window: the files to send, the server profile, the target
// directory, the buttons, the FTP dialogue, progress and status.

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/JobProgress.h"
#include "app/StatusBar.h"
#include "app/WindowWidgets.h"
#include "app/TransferStatus.h"
#include "ftp/Ftpcli.h"
#include "upload/UploadSequence.h"
#include "platform/Files.h"
#include "settings/Settings.h"

class DesktopNotifier;
class QCloseEvent;
class SftpSession;
class TFtpClient;
class TObject;
struct TFtpCertificateQuestion;

// Program-wide state of the main window's module. Only one main window
// lives in a run, so the state lives with it; everything starts zero, empty
// or false.
struct ModuleState {
    QString readMode;     // settings read mode: "f" full read at start, "p" profile only
    QString emailAddress; // offered as the password for anonymous log-in
    QString firewallHost;
    QString firewallPort;
    bool useFirewall = false;
    bool passiveMode = true; // a fresh store starts passive: active mode hangs behind NAT
    bool exitWhenDone = false;
    bool sendFolders = false; // a folder row sends its whole tree
    int reconnectAttempts = 3;
    bool keepModificationTime = false;
    // The shown profile's rules for how files go up (not on the window).
    QString tempSuffix;
    ExistingFileRule ifExists = ExistingFileRule::Overwrite;
    std::int32_t ProgressScale = 0; // divisions by 1000 applied to the current file's size
    bool TitleProgress = false;     // the application title shows transfer progress; never cleared
    bool ListReady = false;         // the file list has been built
};

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // `args` is the command line as the program counts it: argument 0 is the
    // program's own path, arguments 1 to ParamCount() are the paths to send,
    // as the bytes the system gave (a name need not be valid UTF-8).
    // Creating the window runs FormCreate; a file error on the way is shown
    // in the standard error box and the window still opens.
    explicit TForm1(const QList<QByteArray>& args, QWidget* parent = nullptr);
    // The same with paths given as text, encoded as the system encodes names.
    explicit TForm1(const QStringList& args, QWidget* parent = nullptr);
    ~TForm1() override;

    [[nodiscard]] int ParamCount() const { return static_cast<int>(args_.size()) - 1; }
    // Argument i as the system gave it: what opens the file.
    [[nodiscard]] QByteArray ParamBytes(int i) const { return i >= 0 && i < args_.size() ? args_[i] : QByteArray(); }
    // Argument i as text, for the eye.
    [[nodiscard]] QString ParamStr(int i) const;

    // Files that join the list after the start, dropped on it or handed
    // over by another start of the program (app/FileDrop.cpp). A path
    // listed already is not listed twice; the others get their rows by the
    // rules of the command line. During a job they wait for the next OK.
    // Returns how many rows were added.
    int AddFiles(const QList<QByteArray>& paths);
    // Brings the window to the front, out of the task bar if minimised.
    void ComeToFront();

    // Window events.
    void FormCreate();
    void OnFocusTimer();
    void OnFileRowChanged(QTreeWidgetItem* row);
    void OptionsBnClick();
    void AboutBnClick();
    void dircmboxDropDown();

    // Settings load ("f" full, "p" profile only) and save
    // (app/SettingsBinding.cpp); a value of the wrong kind throws
    // ERegistryException.
    void readreg(const QString& mode);
    void writereg();

    // The profile the controls show and the options the window holds, as
    // the settings save takes them (app/SettingsBinding.cpp).
    [[nodiscard]] Profile ShownProfile() const;
    [[nodiscard]] Options CurrentOptions() const;

    // Profile control reactions, run whenever the control's state changes
    // (also when the program sets it).
    // The anonymous box's rule: checked, the log-in is "anonymous" with the
    // e-mail address as its password, shown in clear and saved; unchecked,
    // user and password are cleared and masked for the user to type.
    void ApplyAnonymousRule();
    void OnLoginDirectoryChosen(); // loginDirRadio became checked
    void OnSubdirectoryChosen();   // subdirRadio became checked

    // The upload job (app/UploadJob.cpp).
    void OKBnClick();

    // Transfer feedback (app/TransferFeedback.cpp).
    void FTPDisplay(TObject* Sender, std::string& Msg);
    void FTPProgress(TObject* Sender, std::int64_t Count, bool& Abort);
    void CancelBnClick();
    void ExitBnClick();

    // Certificate trust (app/CertificateTrust.cpp): the FTP client's
    // OnVerifyCertificate. Asks the user whether to trust a server
    // certificate that failed verification, for the profile being connected.
    void FTPVerifyCertificate(TObject* Sender, const TFtpCertificateQuestion& Question, bool& Trust);
    // Host-key trust (app/HostKeyTrust.cpp): the SFTP session's trust
    // event. Asks the user whether to trust a host key that no known-hosts
    // file holds yet; ssh records a trusted key.
    [[nodiscard]] bool SshHostKeyTrusted(const UploadTrustQuestion& question);
    // Whether the application is the active one (one of its windows has the
    // input focus). Tests put a fake in its place.
    std::function<bool()> ApplicationIsActive;
    // Milliseconds of a monotonic clock, for the speed and time left of a
    // transfer. Tests put a fake in its place.
    std::function<std::int64_t()> MonotonicMs;

    // Profile controls (app/ProfileControls.cpp).
    void hostcmboxChange();
    void newbnClick();
    void deletebnClick();
    // Enter moves the focus on: each sets Key to 0 when it used the key.
    void hostcmboxKeyPress(char& Key);
    void addresseditKeyPress(char& Key); // also portedit's
    void usereditKeyPress(char& Key);
    void passeditKeyPress(char& Key);
    void dircmboxKeyPress(char& Key);
    // The address box (app/AddressControls.cpp): the user changed its text,
    // which read `previous` before.
    void AddressEdited(const QString& previous);
    // A whole address "ftp[s|es]://host[:port][/path]" or
    // "sftp://[user@]host[:port][/path]" is taken apart into address (with
    // its prefix), port, user and sub-directory.
    void TakeApartAddress();
    // The port box follows the address prefix (it read `previous` before):
    // port 21 for plain and explicit TLS, 990 for implicit TLS, 22 for
    // SFTP, unless the user typed the port.
    void PortFollowsPrefix(const QString& previous);

    // Controls. Each has its short name as object name, which tests and
    // assistive tools look up; where that name is a number it is noted.
    QLabel* filesLabel;     // "Label1"
    QTreeWidget* fileList;  // "ListView1"
    QLabel* asciiHintLabel; // "Label5"
    QLabel* profileLabel;   // "Label2"
    ProfileComboBox* hostcmbox;
    QToolButton* newbn;
    QToolButton* deletebn;
    QLabel* addressLabel; // "Label6"
    QLineEdit* addressedit;
    QLabel* portLabel; // "Label7"
    QLineEdit* portedit;
    QLabel* userLabel; // "Label3"
    QLineEdit* useredit;
    QCheckBox* anonyckbox;
    QLabel* passwordLabel; // "Label4"
    QLineEdit* passedit;
    QCheckBox* remckbox;
    QLabel* webLabel; // "Label8"
    QLineEdit* webedit;
    QRadioButton* loginDirRadio; // "RB1"
    QRadioButton* subdirRadio;   // "RB2"
    DropDownComboBox* dircmbox;
    QPushButton* OKBn;
    QPushButton* CancelBn;
    QPushButton* OptionsBn;
    QPushButton* AboutBn;
    QPushButton* ExitBn;
    QPlainTextEdit* DisplayMemo;
    QProgressBar* progressBar;       // "ProgressBar1"
    StatusPanels* statusBar;         // "StatusBar1"
    QTimer* focusTimer;              // "Timer1"
    std::unique_ptr<TFtpClient> FTP; // the FTP client the uploads to ftp[s|es]:// addresses go through
    // The session for sftp:// addresses; made at the first use.
    std::unique_ptr<SftpSession> SFTP;
    // Run on the SFTP session when the window makes it, before its first
    // log-in: tests point ssh at their own server, agent and known hosts.
    std::function<void(SftpSession&)> PrepareSftpSession;

    // String lists owned by the window, never shown.
    QStringList txtlist{QStringLiteral(".txt")}; // extensions sent in ascii mode, with their dot
    QStringList templist;                        // lines of the last remote directory listing
    QStringList dir_record;                      // dircmbox texts already listed
    // The session the directory lists came from: settings that would make
    // another session (another protocol, server, port, user, ...) list
    // afresh.
    struct ListedSource {
        UploadProtocol protocol = UploadProtocol::Ftp;
        TFtpSessionIdentity ftp;
        std::string sftpHost, sftpPort, sftpUser, sftpPassword;
        bool operator==(const ListedSource&) const = default;
    };
    ListedSource listedFor_;

    ModuleState state;
    // The program's own folder, ending with "/": the directory picker keeps
    // its listing file there when it may.
    std::string OwnFolder = ProgramFolder();
    std::int32_t& ProgressScale = state.ProgressScale;
    bool& TitleProgress = state.TitleProgress;
    bool& ListReady = state.ListReady;
    // The waits before the attempts after a broken connection, in seconds
    // (the last one repeats).
    std::vector<int> retryDelaysSeconds{2, 5, 15};

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ConnectHandlers();
    // The application title, which also stands in the window's caption so
    // that the task bar shows the progress.
    void ShowApplicationTitle(const QString& title);
    // Boxes of the job; once the window has closed they stay unshown (a
    // question then counts as No), so nothing pops up after the user left.
    void JobMessage(const QString& text);
    [[nodiscard]] bool JobQuestion(const QString& text);
    // The wait before the next attempt after a broken connection: a
    // countdown in the status bar. False when the window was closed (Cancel)
    // meanwhile, which ends the wait at once.
    [[nodiscard]] bool WaitBeforeRetry(int attempt, int attempts, int seconds);
    [[nodiscard]] ExistsAnswer AskOverwrite(std::size_t index, std::uint64_t remoteSize, std::int64_t remoteTime);
    // Refuses a directory or file name that would break a command line.
    [[nodiscard]] bool CommandTextsAreSafe();
    // The upload job (app/UploadJob.cpp): the window's side of the upload
    // sequence. It reads the boxes into a job and shows what the sequence
    // reports.
    void UploadJob();
    [[nodiscard]] bool CheckAndCopyFields();
    [[nodiscard]] UploadJobDescription DescribeJob();
    // The row a file of the running job stands for: its list row, or for a
    // file of a folder sent whole a row of its own that is not shown.
    [[nodiscard]] const QTreeWidgetItem* JobRow(std::size_t index) const;
    // Folder rows sent whole (app/FolderRows.cpp): the row with its file
    // count and total size, every folder row following the option, the
    // tree's files and sub-folders added to a job, and names that cannot
    // go into an FTP command.
    void ShowFolderTreeRow(QTreeWidgetItem* row, const QByteArray& path);
    void RefreshFolderRows();
    void AddFolderToJob(UploadJobDescription& job, int rowIndex, const QByteArray& path);
    [[nodiscard]] QString FolderNameWithLineBreak(const QByteArray& path) const;
    [[nodiscard]] UploadEvents JobEvents();
    // "File transfer completed" when every selected file went up, else
    // "2 of 4 files sent — 1 not found, 1 folder skipped".
    [[nodiscard]] QString SentSummary() const;
    void SetProgressScale(const QTreeWidgetItem* row);
    // The bytes sent, speed and time left of the file going up, after its
    // "Sending NAME" in the status bar and for screen readers
    // (app/TransferStatus.cpp).
    void StartTransferStatus(const QTreeWidgetItem* row);
    void ShowTransferStatus(std::int64_t count);
    void StopTransferStatus();
    // Shared by the job and the directory picker: the profile on the screen
    // (through the firewall when that option is on) into the client, with
    // the certificate fingerprint trusted for it.
    void CopyProfileIntoClient();
    // The protocol the address box names (sftp:// is SFTP).
    [[nodiscard]] UploadProtocol AddressProtocol() const;
    // The SFTP session with the profile on the screen as its log-in (made
    // at the first use); an FTP session still open belongs to another
    // address and is dropped (app/UploadJob.cpp).
    SftpSession& SftpForJob();
    // Drops the SFTP session, if one is open.
    void DropSftpSession();
    // The end of a job for the user (app/JobReport.cpp): the links of the
    // files it stored into the clipboard and the dialogue, and a desktop
    // notification when the window is not the active one.
    void ReportJobEnd(UploadEnd end);
    void StartJobProgress();
    [[nodiscard]] QStringList StoredFileLinks() const;
    // The bar, the percentage and the title for `count` bytes of the file
    // going up under `remoteName` (app/TransferFeedback.cpp).
    void ShowProgress(std::int64_t count, const std::string& remoteName);
    // "Cannot connect to HOST" and why, on a line of its own (`oneLine`:
    // after a colon instead); app/LoginFailure.cpp.
    [[nodiscard]] QString LoginFailureText(bool oneLine) const;
    [[nodiscard]] QString LoginFailureReason() const;
    // The directory picker's steps (app/DirectoryPicker.cpp).
    [[nodiscard]] bool FetchListing(const QString& dir, const std::string& listingFile);
    [[nodiscard]] bool FetchSftpListing(const QString& dir, QStringList& names);
    // Empties the directory box's list and nothing else: the text typed in
    // it is the user's target directory.
    void ClearDirectoryItems();
    [[nodiscard]] bool ReadListing(const std::string& listingFile);
    void OfferListedDirectories(const QString& dir);
    void OfferDirectories(const QString& dir, const QStringList& names);
    // OK is disabled while a job runs, and the focus must not fall to Cancel
    // meanwhile; see the definitions.
    void DisableOKForJob();
    void EnableOKAfterJob();

    // Building the window: app/MainWindowControls.cpp creates, names and
    // lays out the controls; the client and the reactions are set up here.
    void CreateControls();
    void CreateFtpClient();
    void ConnectControlReactions();
    void NameControlsForAssistiveTools();
    void ArrangeControls();
    void SetTabOrder();
    void BuildFileList();
    // Rows for arguments firstArg to ParamCount().
    void AddFileRows(int firstArg);
    // The settings binding (app/SettingsBinding.cpp): loaded values into
    // the controls.
    void TakeOptions(const Options& options);
    void ShowProfileList(const StoredProfileList& list);
    // Applies what a load found, as far as the load got.
    void ShowStoredProfile(const StoredProfile& profile);

    QList<QByteArray> args_;
    bool pickerBusy_ = false; // a directory listing is on its way
    bool jobBusy_ = false;    // an upload job is on its way
    int filesFailed_ = 0;     // files of the running job that failed to go up
    // What each file of the running job stands for (JobRow), and the rows
    // the job took: rows added during the job wait for the next one.
    struct JobEntry {
        int row = 0;
        std::shared_ptr<QTreeWidgetItem> inner; // a file of a folder sent whole
    };
    std::vector<JobEntry> jobEntries_;
    int jobRowCount_ = 0;
    int lastFailedRow_ = -1;
    int lastSkippedRow_ = -1;
    int filesSkipped_ = 0;            // files of the running job the server had already
    QEventLoop* retryWait_ = nullptr; // the countdown before a reconnect, while it runs
    TransferRate transferRate_;
    JobProgress jobProgress_;         // the whole job's files and bytes, for the status bar
    UploadJobDescription job_;        // the job running or last run
    std::vector<std::size_t> stored_; // its files that were stored, by index
    std::unique_ptr<DesktopNotifier> notifier_;
    QString sendingText_; // "Sending NAME" of the file going up
    // The job moved the focus off OK to the dialogue box.
    bool okFocusParked_ = false;
    SettingsReadState settingsRead_; // whether the start-up read could read the store
    // The profile box's text changed by picking a list entry (not by typing).
    bool profilePicked_ = false;
    // The port box holds a port the user typed (or pasted with an address):
    // the address's prefix no longer changes it. Cleared when a profile loads.
    bool portTyped_ = false;
    QString addressShown_; // the address box's text as last seen
    // The type of the open session is known to match Binary; cleared on every
    // new control connection, since a new session starts in the server's
    // default type.
    bool sessionTypeKnown_ = false;
    // The window has been closed (Cancel, Exit, the close button, the job).
    bool closed_ = false;
    // The protocol of the last connection set up (by a job or a listing).
    UploadProtocol connectProtocol_ = UploadProtocol::Ftp;
    // The profile name and the host (without prefix) of the last connection
    // set up: a certificate trusted while it is made belongs to them.
    QString connectProfile_;
    std::string connectHost_;
    // The certificate the user last trusted in this run; saved with its
    // profile by writereg.
    TrustedCertificate trustedCertificate_;
};
