// The window's side of broken links and files the server has already: the
// countdown before a reconnect, Cancel during it, the overwrite question and
// what the status bar says at the end. Against pyftpdlib, behind a proxy
// that breaks the connection on cue.

#include <QTimer>

#include <algorithm>
#include <fstream>

#include "UploadFixture.h"
#include "support/CuttingProxy.h"
#include "support/FtpRealServers.h"

namespace {

using Kind = ScriptedDialogs::Kind;

class Resilience : public UploadTest {
protected:
    void SetUp() override
    {
        UploadTest::SetUp();
        std::string whyNot;
        server_ = StartPyftpdlib(whyNot);
        ASSERT_TRUE(server_) << whyNot;
    }

    // The profile of the test server, reached at `port` (the proxy's, or
    // the server's own), uploading passive into its upload folder.
    void ForServer(TForm1& form, int port)
    {
        FillProfile(form, QString::fromStdString(server_->Host()), QString::number(port),
                    QString::fromStdString(server_->User()), QString::fromStdString(server_->Password()));
        SetSubdirectory(form, QStringLiteral("upload"));
        form.state.passiveMode = true;
    }

    std::unique_ptr<CuttingProxy> Proxy(std::uint64_t cutAfter, int cuts)
    {
        std::string whyNot;
        auto proxy =
            CuttingProxy::Start(CuttingProxy::Kind::Ftp, std::stoi(server_->PortText()), cutAfter, cuts, whyNot);
        EXPECT_TRUE(proxy) << whyNot;
        return proxy;
    }

    std::unique_ptr<FtpRealServer> server_;
};

// A link that breaks once in the middle of the second file: the window
// counts down, logs in again, sends the rest of that file from where the
// server's copy ends, and the job completes with every file whole. The
// first file is not sent again.
TEST_F(Resilience, BrokenLinkIsWaitedOutAndTheFileResumed)
{
    const QByteArray first = BinaryBytes(100 * 1024), second = BinaryBytes(3 * 1024 * 1024);
    auto proxy = Proxy(1024 * 1024 + 100 * 1024, 1);
    ASSERT_TRUE(proxy);
    auto form = OpenWindow({MakeFile("a.bin", first), MakeFile("b.bin", second)});
    ForServer(*form, proxy->Port());
    form->retryDelaysSeconds = {1};
    std::vector<std::string> statuses;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const std::string now = Std(form->statusBar->PanelText(1));
        if (statuses.empty() || statuses.back() != now)
            statuses.push_back(now);
    });
    watch.start(20);

    form->OKBn->click();

    ASSERT_EQ(Std(form->statusBar->PanelText(1)), "File transfer completed") << Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(ReadAll(server_->StoredPath("a.bin")), first);
    EXPECT_EQ(ReadAll(server_->StoredPath("b.bin")), second);
    EXPECT_EQ(proxy->Cuts(), 1);
    EXPECT_EQ(MemoLines(*form, {"> STOR a.bin"}).size(), 1u) << "a finished file is not sent again";
    EXPECT_EQ(MemoLines(*form, {"! Connection lost; trying again in 1 s (attempt 1 of 3)"}).size(), 1u)
        << Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(MemoLines(*form, {"> REST "}).size(), 1u) << Std(form->DisplayMemo->toPlainText());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Connection lost; trying again in 1 s (attempt 1 of 3)"),
              statuses.end());
    EXPECT_TRUE(dialogs_.Log().empty());
}

// Cancel while the window counts down ends the job there: no further
// attempt reaches the server, and the window closes.
TEST_F(Resilience, CancelDuringTheCountdownEndsTheJobAtOnce)
{
    auto proxy = Proxy(64 * 1024, -1);
    ASSERT_TRUE(proxy);
    auto form = OpenWindow({MakeFile("big.bin", BinaryBytes(1024 * 1024))});
    ForServer(*form, proxy->Port());
    form->retryDelaysSeconds = {600};
    bool cancelled = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!cancelled && Std(form->statusBar->PanelText(1)).rfind("Connection lost; trying again in 600 s", 0) == 0) {
            cancelled = true;
            form->CancelBn->click();
        }
    });
    watch.start(20);

    form->OKBn->click();

    EXPECT_TRUE(cancelled);
    EXPECT_EQ(proxy->Cuts(), 1) << "no attempt after Cancel";
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(dialogs_.Log().empty()) << "nothing pops up after the user left";
}

// Files the server has already, under "Ask": each is asked about (Enter
// keeps the server's copy; the boxes themselves are tested with the dialog
// service), "Yes to all" answers the rest, and the status bar counts the
// files kept. A server's copy kept is left as it was. An ascii file is
// found although the server will not give sizes in ascii mode.
TEST_F(Resilience, AskedAboutEachExistingFileUntilToldForAll)
{
    for (const char* name : {"a.txt", "b.bin", "c.txt", "d.bin"}) {
        std::ofstream(server_->StoredPath(name)) << "old";
    }
    auto form = OpenWindow({MakeFile("a.txt", "new a"), MakeFile("b.bin", "new b"), MakeFile("c.txt", "new c"),
                            MakeFile("d.bin", "new d"), MakeFile("e.txt", "new e")});
    ForServer(*form, std::stoi(server_->PortText()));
    form->state.ifExists = ExistingFileRule::Ask;
    dialogs_.Answer(DialogAnswer::No);
    dialogs_.Answer(DialogAnswer::YesToAll);

    form->OKBn->click();

    EXPECT_EQ(Std(form->statusBar->PanelText(1)), "4 of 5 files sent \u2014 1 already on the server");
    const std::vector<std::string> asked = dialogs_.Texts(Kind::Question);
    ASSERT_EQ(asked.size(), 2u) << Std(form->DisplayMemo->toPlainText());
    EXPECT_EQ(asked[0].rfind("a.txt exists on the server (changed ", 0), 0u) << asked[0];
    EXPECT_EQ(asked[1].rfind("b.bin exists on the server (3 bytes, changed ", 0), 0u) << asked[1];
    for (const std::string& text : asked)
        EXPECT_NE(text.find("). Overwrite it?"), std::string::npos) << text;
    EXPECT_EQ(MemoLines(*form, {"! Skipped "}), std::vector<std::string>{"! Skipped a.txt: it exists on the server"});
    EXPECT_EQ(ReadAll(server_->StoredPath("a.txt")), "old");
    for (const char* name : {"b.bin", "c.txt", "d.bin", "e.txt"})
        EXPECT_EQ(ReadAll(server_->StoredPath(name)), QByteArray("new ") + name[0]) << name;
}

} // namespace
