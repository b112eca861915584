// A folder sent whole from the real window (the Options' folder box on),
// against pyftpdlib, vsftpd and Debian's sshd: a tree three levels deep
// with an empty folder, names with blanks and UTF-8, a link to a folder
// (not followed) and a link to a file (sent as that file).

#include <QApplication>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "UploadFixture.h"
#include "support/SavedEnvironment.h"
#include "support/FtpRealServers.h"
#include "support/SshTestServer.h"
#include "upload/FolderTree.h"
#include "upload/SftpSession.h"

namespace fs = std::filesystem;

namespace {

using Kind = ScriptedDialogs::Kind;

enum class Server { Pyftpdlib, Vsftpd, Sshd };

std::string NameOf(Server server)
{
    switch (server) {
    case Server::Pyftpdlib: return "Pyftpdlib";
    case Server::Vsftpd: return "Vsftpd";
    case Server::Sshd: return "Sshd";
    }
    return {};
}

class FolderUpload : public UploadTest, public ::testing::WithParamInterface<Server> {
protected:
    void SetUp() override
    {
        UploadTest::SetUp();
        std::string whyNot;
        switch (GetParam()) {
        case Server::Pyftpdlib: ftp_ = StartPyftpdlib(whyNot); break;
        case Server::Vsftpd: ftp_ = StartVsftpd(whyNot); break;
        case Server::Sshd: sshd_ = SshTestServer::Start(whyNot); break;
        }
        if (!ftp_ && !sshd_) {
            if (std::getenv("CI"))
                FAIL() << NameOf(GetParam()) << " could not start in CI: " << whyNot;
            GTEST_SKIP() << whyNot;
        }
        if (sshd_) {
            for (const char* name : {"SSH_AUTH_SOCK", "XDG_CONFIG_HOME"})
                saved_.Save(name);
            qputenv("SSH_AUTH_SOCK", QByteArray::fromStdString(sshd_->AgentSocket()));
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(Path("config")));
        }
    }
    void TearDown() override
    {
        saved_.Restore();
        UploadTest::TearDown();
    }

    // The window on `paths`, its profile pointing at the server's target
    // folder `dir` (missing as yet), folders sent whole.
    std::unique_ptr<TForm1> WindowFor(const QStringList& paths, const QString& dir)
    {
        auto form = OpenWindow({});
        form->state.sendFolders = true;
        (void)form->AddFiles([&] {
            QList<QByteArray> bytes;
            for (const QString& path : paths)
                bytes << QFile::encodeName(path);
            return bytes;
        }());
        if (sshd_) {
            FillProfile(*form, QStringLiteral("sftp://127.0.0.1"), QString::fromStdString(sshd_->PortText()),
                        QString::fromStdString(sshd_->User()), {});
            const std::string knownHosts = sshd_->KnownHostsFile();
            form->PrepareSftpSession = [knownHosts](SftpSession& session) {
                session.Client().SshConfigFile = "/dev/null";
                session.Client().KnownHostsFiles = {knownHosts};
            };
        } else {
            FillProfile(*form, QString::fromStdString(ftp_->Host()), QString::fromStdString(ftp_->PortText()),
                        QString::fromStdString(ftp_->User()), QString::fromStdString(ftp_->Password()));
            form->state.passiveMode = true;
        }
        SetSubdirectory(*form, dir);
        return form;
    }

    // Where the server keeps what was stored under `remote` (relative to
    // the log-in folder).
    std::string Stored(const std::string& remote) const
    {
        return (sshd_ ? sshd_->Root() : ftp_->Root()) + "/" + remote;
    }
    // The target folder, relative to the log-in folder.
    std::string Target() const { return sshd_ ? "inbox" : ftp_->UploadDir() + "/new"; }

    std::unique_ptr<FtpRealServer> ftp_;
    std::unique_ptr<SshTestServer> sshd_;
    SavedEnvironment saved_;
};

TEST_P(FolderUpload, WholeTreeArrivesInPlaceByteForByteWithOneQuestion)
{
    const QByteArray deep = BinaryBytes(70000), top = "one\ntwo\n", mid = "mid\n", naive = BinaryBytes(3000),
                     outside = BinaryBytes(1234), single = BinaryBytes(10);
    MakeFile("outside/f.bin", outside);
    MakeFile("outside/inner.txt", "not sent\n");
    MakeFile("tree/top.txt", top);
    MakeFile("tree/a b/c/d/deep.bin", deep);
    MakeFile("tree/a b/c/mid.txt", mid);
    MakeFolder("tree/empty");
    MakeFile(QStringLiteral("tree/\u00fcn\u00ef/na\u00efve file.bin"), naive);
    fs::create_directory_symlink("../outside", Std(Path("tree/link-to-dir")));
    fs::create_symlink("../outside/f.bin", Std(Path("tree/link-to-file")));
    const QString one = MakeFile("single.bin", single);

    auto form = WindowFor({Path("tree"), one}, QString::fromStdString(Target()));
    ASSERT_EQ(form->fileList->topLevelItemCount(), 2);
    EXPECT_EQ(Std(form->fileList->topLevelItem(0)->text(2)), "folder, 5 files");
    EXPECT_EQ(form->fileList->topLevelItem(0)->text(1).toLongLong(),
              deep.size() + top.size() + mid.size() + naive.size() + outside.size());
    dialogs_.Answer(DialogAnswer::Yes); // make the target

    form->OKBn->click();

    const std::string memo = Std(form->DisplayMemo->toPlainText());
    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << memo;
    const std::vector<std::string> questions = dialogs_.Texts(Kind::Question);
    ASSERT_EQ(questions.size(), 1u) << "asked for the target only";
    EXPECT_NE(questions[0].find(Target()), std::string::npos) << questions[0];

    const std::string tree = Target() + "/tree/";
    EXPECT_EQ(ReadAll(Stored(tree + "top.txt")), top);
    EXPECT_EQ(ReadAll(Stored(tree + "a b/c/d/deep.bin")), deep);
    EXPECT_EQ(ReadAll(Stored(tree + "a b/c/mid.txt")), mid);
    EXPECT_EQ(ReadAll(Stored(tree + "\u00fcn\u00ef/na\u00efve file.bin")), naive);
    EXPECT_EQ(ReadAll(Stored(tree + "link-to-file")), outside) << "a link to a file sends the file";
    EXPECT_EQ(ReadAll(Stored(Target() + "/single.bin")), single);
    EXPECT_TRUE(fs::is_directory(Stored(tree + "empty"))) << memo;
    EXPECT_TRUE(fs::is_empty(Stored(tree + "empty")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Stored(tree + "link-to-dir")))) << "a link to a folder is not followed";
    // Nothing else came along.
    std::vector<std::string> stored;
    for (const auto& e : fs::recursive_directory_iterator(Stored(Target())))
        stored.push_back(fs::relative(e.path(), Stored(Target())).string());
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, (std::vector<std::string>{"single.bin", "tree", "tree/a b", "tree/a b/c", "tree/a b/c/d",
                                                "tree/a b/c/d/deep.bin", "tree/a b/c/mid.txt", "tree/empty",
                                                "tree/link-to-file", "tree/top.txt", "tree/\u00fcn\u00ef",
                                                "tree/\u00fcn\u00ef/na\u00efve file.bin"}));
    if (ftp_) {
        // Each file in the type of its own extension.
        EXPECT_EQ(MemoLines(*form, {"> TYPE", "> STOR"}),
                  (std::vector<std::string>{"> TYPE I", "> STOR tree/a b/c/d/deep.bin", "> TYPE A",
                                            "> STOR tree/a b/c/mid.txt", "> TYPE I", "> STOR tree/link-to-file",
                                            "> TYPE A", "> STOR tree/top.txt", "> TYPE I",
                                            "> STOR tree/\u00fcn\u00ef/na\u00efve file.bin", "> STOR single.bin"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FolderUpload, ::testing::Values(Server::Pyftpdlib, Server::Vsftpd, Server::Sshd),
                         [](const auto& test) { return NameOf(test.param); });

// The walker alone: what a tree gives, in a fixed order.
TEST(FolderWalk, ListsFoldersBeforeTheirContentsAndSkipsLinksToFolders)
{
    QTemporaryDir dir;
    const fs::path root = Std(dir.path());
    fs::create_directories(root / "t/b/c");
    fs::create_directories(root / "t/a");
    fs::create_directories(root / "elsewhere");
    std::ofstream(root / "t/b/c/x") << "xyz";
    std::ofstream(root / "t/z") << "";
    std::ofstream(root / "elsewhere/f") << "12";
    fs::create_directory_symlink(root / "elsewhere", root / "t/b/loop");
    fs::create_symlink(root / "elsewhere/f", root / "t/file-link");
    fs::create_symlink(root / "nowhere", root / "t/broken");

    const FolderTree tree = WalkFolder((root / "t").string() + "/");
    EXPECT_EQ(tree.directories, (std::vector<std::string>{"a", "b", "b/c"}));
    std::vector<std::string> files;
    for (const FolderTreeFile& f : tree.files)
        files.push_back(f.relativePath + "=" + std::to_string(f.size));
    EXPECT_EQ(files, (std::vector<std::string>{"b/c/x=3", "file-link=2", "z=0"}));
    EXPECT_EQ(tree.totalBytes, 5);
    EXPECT_EQ(tree.skipped, 2) << "the link to a folder and the broken link";
    EXPECT_EQ(tree.files[0].localPath, (root / "t/b/c/x").string());
}

} // namespace

namespace {

// Files that join while a job runs (dropped, or handed over by a second
// start) wait for the next OK: the running job neither sends nor counts
// them.
TEST_F(UploadTest, FilesJoiningDuringAJobWaitForTheNextOK)
{
    std::string whyNot;
    const std::unique_ptr<FtpRealServer> server = StartPyftpdlib(whyNot);
    ASSERT_TRUE(server) << whyNot;
    const QByteArray first = BinaryBytes(200000), later = BinaryBytes(5000);
    auto form = OpenWindow({MakeFile("first.bin", first)});
    FillProfile(*form, QString::fromStdString(server->Host()), QString::fromStdString(server->PortText()),
                QString::fromStdString(server->User()), QString::fromStdString(server->Password()));
    SetSubdirectory(*form, QString::fromStdString(server->UploadDir()));
    form->state.passiveMode = true;
    const QByteArray laterPath = QFile::encodeName(MakeFile("later.bin", later));
    const QByteArray folderPath = QFile::encodeName(MakeFolder("folder"));
    int added = -1;
    // Joins while the first file is on its way.
    QObject::connect(form->progressBar, &QProgressBar::valueChanged, form.get(), [&] {
        if (added < 0)
            added = form->AddFiles({laterPath, folderPath});
    });

    form->OKBn->click();

    ASSERT_EQ(added, 2) << "the file and the folder joined during the job";
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << "the job counts its own rows";
    EXPECT_EQ(ReadAll(server->StoredPath("first.bin")), first);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(server->StoredPath("later.bin"))));
    EXPECT_EQ(form->fileList->topLevelItemCount(), 3);

    form->OKBn->click();
    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "2 of 3 files sent \u2014 1 folder skipped");
    EXPECT_EQ(ReadAll(server->StoredPath("later.bin")), later);
}

} // namespace
