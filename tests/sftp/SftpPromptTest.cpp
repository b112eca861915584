// Reading what ssh asks through the askpass helper and what it says when a
// host key has changed (texts as OpenSSH 9.2 writes them).
#include <gtest/gtest.h>

#include "sftp/SftpAskpass.h"

namespace {

const char* const HostKeyPrompt =
    "The authenticity of host '[127.0.0.1]:40022 ([127.0.0.1]:40022)' can't be established.\n"
    "ED25519 key fingerprint is SHA256:JDtAvvSJwa4KfYDuLYMX5CD0E0tW9dbqT8Gsk0N0Dng.\n"
    "This key is not known by any other names.\n"
    "Are you sure you want to continue connecting (yes/no/[fingerprint])? ";

TEST(SftpPrompt, EachQuestionIsSortedSoOnlyPasswordPromptsGetThePassword)
{
    const struct {
        std::string prompt, hint;
        TSftpPromptKind kind;
    } cases[] = {
        {HostKeyPrompt, "", TSftpPromptKind::HostKey},
        // The same words from a server, as a keyboard-interactive prompt.
        {std::string("(alice@127.0.0.1) ") + HostKeyPrompt, "", TSftpPromptKind::Other},
        {"alice@example.org's password: ", "", TSftpPromptKind::Password},
        {"(alice@127.0.0.1) Password: ", "", TSftpPromptKind::Password}, // keyboard-interactive
        {"Password:", "", TSftpPromptKind::Password},
        {"Enter passphrase for key '/home/alice/.ssh/id_ed25519': ", "", TSftpPromptKind::Other},
        {"Enter PIN for ED25519-SK key /home/alice/.ssh/id_ed25519_sk: ", "", TSftpPromptKind::Other},
        {"Allow use of key /home/alice/.ssh/id_rsa?\nKey fingerprint SHA256:x.", "confirm", TSftpPromptKind::Other},
        {"Enter new password: ", "", TSftpPromptKind::Other},
        {"Retype new password: ", "", TSftpPromptKind::Other},
        {"Verification code: ", "", TSftpPromptKind::Other},
        // Another yes/no question is no host-key question.
        {"Are you sure you want to continue connecting (yes/no)? ", "", TSftpPromptKind::Other},
        {"", "", TSftpPromptKind::Other},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.kind, SftpClassifyPrompt(c.prompt, c.hint)) << c.prompt;
}

TEST(SftpPrompt, HostKeyQuestionGivesTypeAndFingerprint)
{
    std::string type, fingerprint;
    ASSERT_TRUE(SftpParseHostKeyPrompt(HostKeyPrompt, type, fingerprint));
    EXPECT_EQ("ED25519", type);
    EXPECT_EQ("SHA256:JDtAvvSJwa4KfYDuLYMX5CD0E0tW9dbqT8Gsk0N0Dng", fingerprint);
    // An MD5 fingerprint (FingerprintHash=md5) or none at all is not read.
    EXPECT_FALSE(SftpParseHostKeyPrompt("The authenticity of host 'h' can't be established.\n"
                                        "RSA key fingerprint is MD5:aa:bb:cc.\nAre you sure you want to continue "
                                        "connecting (yes/no/[fingerprint])? ",
                                        type, fingerprint));
    EXPECT_FALSE(SftpParseHostKeyPrompt("alice@h's password: ", type, fingerprint));
}

TEST(SftpPrompt, ChangedHostKeyNamesTheNewKeyAndTheFileOfTheOldOne)
{
    const std::string text = "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
                             "@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @\n"
                             "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
                             "IT IS POSSIBLE THAT SOMEONE IS DOING SOMETHING NASTY!\n"
                             "Someone could be eavesdropping on you right now (man-in-the-middle attack)!\n"
                             "It is also possible that a host key has just been changed.\n"
                             "The fingerprint for the ED25519 key sent by the remote host is\n"
                             "SHA256:JDtAvvSJwa4KfYDuLYMX5CD0E0tW9dbqT8Gsk0N0Dng.\n"
                             "Please contact your system administrator.\n"
                             "Add correct host key in /home/a b/.config/parcelo/known_hosts to get rid of this "
                             "message.\n"
                             "Offending ED25519 key in /home/a b/.config/parcelo/known_hosts:12\n"
                             "  remove with:\n"
                             "  ssh-keygen -f \"/home/a b/.config/parcelo/known_hosts\" -R \"[127.0.0.1]:40022\"\n"
                             "Host key for [127.0.0.1]:40022 has changed and you have requested strict checking.\n"
                             "Host key verification failed.\n";
    const TSftpChangedHostKey c = SftpParseChangedHostKey(text);
    EXPECT_TRUE(c.changed);
    EXPECT_EQ("ED25519", c.keyType);
    EXPECT_EQ("SHA256:JDtAvvSJwa4KfYDuLYMX5CD0E0tW9dbqT8Gsk0N0Dng", c.fingerprint);
    EXPECT_EQ("/home/a b/.config/parcelo/known_hosts", c.file);
    EXPECT_EQ("12", c.line);
    EXPECT_FALSE(SftpParseChangedHostKey("Permission denied (publickey,password).\n").changed);
}

} // namespace
