#pragma once
// One window per user and display: a start of the program while a window
// is open hands its files to that window and ends. The hand-over goes over
// a local socket in a folder only the user can open, named after the
// display, so each display has a window of its own.
//
// The message is bytes: "PCL1", then the sender's working directory and
// the count of paths, each path after its length (lengths and the count as
// 4-byte big-endian numbers). Paths are sent as the system gave them, so a
// name that is not UTF-8 arrives as it was, and a relative one is resolved
// against the sender's working directory. The window answers with one byte
// once the files are in its list.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <functional>
#include <map>
#include <string>

class QSocketNotifier;
class TForm1;

// Where the hand-over socket lives for this user and display: in
// $XDG_RUNTIME_DIR, else in /tmp/parcelo-UID (made with mode 0700). The
// folder must be a real folder of this user's that nobody else may enter
// or write to; when it is not (or the name would not fit a socket
// address), `socket` is empty and `refused` says why: the program then
// opens its own window, as without hand-over.
struct HandOverPlace {
    std::string socket;
    std::string refused;
};
[[nodiscard]] HandOverPlace HandOverSocketPlace();

// Whether `dir` is a folder (not a link to one) owned by this user with no
// rights for group or others.
[[nodiscard]] bool IsPrivateFolder(const std::string& dir);

[[nodiscard]] QByteArray EncodeHandOver(const QByteArray& workingDir, const QList<QByteArray>& paths);
// Complete: the message is whole (and `workingDir`, `paths` are set).
// Partial: more bytes are needed. Bad: it is not a hand-over.
enum class HandOverParse { Complete, Partial, Bad };
[[nodiscard]] HandOverParse DecodeHandOver(const QByteArray& bytes, QByteArray& workingDir, QList<QByteArray>& paths);

// `path` made absolute against `workingDir` and tidied without looking at
// the file system: "//" and "/./" shrink to "/". Bytes stay bytes.
[[nodiscard]] QByteArray AbsolutePath(const QByteArray& path, const QByteArray& workingDir);

// Hands `paths` to the window listening on `socketPath` and waits for its
// answer. False when no window listens there (or it went away before it
// answered).
[[nodiscard]] bool HandOver(const std::string& socketPath, const QByteArray& workingDir,
                            const QList<QByteArray>& paths);

// The window's side: listens on the socket while it lives and calls
// `received` for each hand-over of a process of this user's.
class HandOverServer : public QObject {
    Q_OBJECT
public:
    HandOverServer();
    ~HandOverServer() override;
    HandOverServer(const HandOverServer&) = delete;
    HandOverServer& operator=(const HandOverServer&) = delete;

    // Listens on `socketPath`. A socket left there by a program that ended
    // without removing it (nobody answers on it) is replaced. False when
    // another window listens there, or the socket cannot be made.
    [[nodiscard]] bool Listen(const std::string& socketPath);
    [[nodiscard]] bool Listening() const { return listenFd_ >= 0; }

    // Takes a hand-over; false turns it down unanswered (the window is
    // closing), and the sender opens a window of its own.
    std::function<bool(const QByteArray& workingDir, const QList<QByteArray>& paths)> received;
    // Connections turned away because the peer was another user.
    int strangersRefused = 0;

private:
    void AcceptAll();
    void ReadFrom(int fd);
    void Close(int fd);

    struct Connection {
        QSocketNotifier* notifier = nullptr;
        QByteArray bytes;
    };
    int listenFd_ = -1;
    std::string path_;
    unsigned long long inode_ = 0; // of the socket made, removed only if it is still that one
    QSocketNotifier* acceptNotifier_ = nullptr;
    std::map<int, Connection> connections_;
};

// What a window does with a hand-over: the paths (resolved against the
// sender's folder) join its list and the window comes to the front.
// A window that has been closed (while its job ends) takes nothing: false.
[[nodiscard]] bool ReceiveHandOver(TForm1& form, const QByteArray& workingDir, const QList<QByteArray>& paths);

// This process's working directory as bytes.
[[nodiscard]] QByteArray WorkingDirectoryBytes();
