// The password channel between ssh and Parcelo. ssh runs with
// SSH_ASKPASS set to Parcelo's helper program (parcelo-askpass) and
// SSH_ASKPASS_REQUIRE=force; whenever ssh wants an answer (a password, or
// whether to trust an unknown host key) it starts the helper with the
// question as its argument. The helper passes the question to the running
// Parcelo over a local socket in a private folder and prints what Parcelo
// answers; it never answers by itself.
//
// The helper finds the socket by the path in PARCELO_ASKPASS_SOCKET and
// proves it was started for this connection with the one-time token in
// PARCELO_ASKPASS_TOKEN (neither is a secret worth anything once the
// connection is over; the password never travels in the environment or on
// a command line). Parcelo also checks who connects: the same user, a
// child of its ssh, running the helper program.
//
// On the socket, the helper sends
//
//   "parcelo-askpass 1\n" TOKEN "\n" HINT "\n" PROMPT
//
// and shuts its sending side down (the end of the prompt). HINT is ssh's
// SSH_ASKPASS_PROMPT ("confirm", "none" or empty). Parcelo answers with
// 'Y' and the answer, or 'N' alone, and closes.
//
// Header-only for the parts the helper shares; the prompt readers are in
// SftpAskpass.cpp (part of parcelo_sftp).
#pragma once

#include <cstddef>
#include <string>

namespace sftp_askpass {

inline constexpr const char* SocketVariable = "PARCELO_ASKPASS_SOCKET";
inline constexpr const char* TokenVariable = "PARCELO_ASKPASS_TOKEN";
inline constexpr const char* Greeting = "parcelo-askpass 1\n";
// The helper's program name, installed in lib/parcelo/ beside bin/.
inline constexpr const char* ProgramName = "parcelo-askpass";
// A request larger than this is refused (a prompt is a few lines).
inline constexpr std::size_t MaxRequest = 16 * 1024;

} // namespace sftp_askpass

// What ssh asks through the helper.
enum class TSftpPromptKind {
    HostKey,  // "The authenticity of host ... can't be established ... (yes/no/[fingerprint])?"
    Password, // "user@host's password: " or a keyboard-interactive "Password:" prompt
    Other     // a key's passphrase, a PIN, a confirmation, any other question: refused
};

TSftpPromptKind SftpClassifyPrompt(const std::string& prompt, const std::string& hint);

// Reads ssh's unknown-host question: the key type as ssh names it
// ("ED25519", "ECDSA", "RSA") and the fingerprint ("SHA256:..."). False
// when the prompt does not hold both.
bool SftpParseHostKeyPrompt(const std::string& prompt, std::string& keyType, std::string& fingerprint);

// What ssh's standard error says when a host's key is not the one a
// known-hosts file holds for it.
struct TSftpChangedHostKey {
    bool changed = false;
    std::string keyType;     // of the key the server sent now ("ED25519")
    std::string fingerprint; // of that key ("SHA256:...")
    std::string file;        // the known-hosts file holding the old key
    std::string line;        // its line number there
};
TSftpChangedHostKey SftpParseChangedHostKey(const std::string& sshErrorText);

// The socket calls of the channel, kept here, away from the socket
// component's Winsock names. Each returns -1 (or false) with errno set.
namespace sftp_askpass {
// A non-blocking listening socket at path, which only its owner may use.
int Listen(const std::string& path);
// The next waiting connection, non-blocking, with the sender's process and
// user ids.
int Accept(int listenFd, int& peerPid, unsigned& peerUid);
// Sends a short reply (it fits the empty socket buffer) without SIGPIPE.
bool SendReply(int fd, const std::string& reply);
} // namespace sftp_askpass
