// The entry point: the usage message without a path, the main window with
// paths, and how the command line becomes the list of paths.

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QTreeWidgetItem>

#include <fstream>
#include <functional>

#include "AppFixture.h"
#include "app/Startup.h"

namespace {

using Kind = ScriptedDialogs::Kind;

std::vector<TForm1*> OpenMainWindows()
{
    std::vector<TForm1*> found;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* form = qobject_cast<TForm1*>(w))
            found.push_back(form);
    return found;
}

struct NoPathCase {
    const char* label;
    std::vector<const char*> argv;
};

void PrintTo(const NoPathCase& c, std::ostream* os)
{
    *os << c.label;
}

class Startup : public AppTest, public ::testing::WithParamInterface<NoPathCase> { };

// The file chooser that opens without a path; `act` runs on it once it is
// up (its keys go to the focused widget, the file name box).
void OnChooser(std::function<void(QFileDialog&)> act)
{
    QTimer::singleShot(0, [act = std::move(act)] {
        auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(chooser, nullptr) << "no file chooser";
        act(*chooser);
    });
}

QWidget* FocusIn(QWidget& window)
{
    QWidget* focused = QApplication::focusWidget();
    return focused && window.isAncestorOf(focused) ? focused : window.focusWidget() ? window.focusWidget() : &window;
}

TEST_P(Startup, WithoutAPathEscapeInTheChooserShowsUsageAndCreatesNoWindow)
{
    SetApplicationTitle("");
    std::vector<const char*> argv = GetParam().argv;
    std::string title;
    bool severalFiles = false;
    OnChooser([&](QFileDialog& chooser) {
        title = Std(chooser.windowTitle());
        severalFiles = chooser.fileMode() == QFileDialog::ExistingFiles;
        QTest::keyClick(FocusIn(chooser), Qt::Key_Escape);
    });
    EXPECT_EQ(RunParcelo(static_cast<int>(argv.size()), argv.data(), dialogs_), 0);

    EXPECT_EQ(title, "Parcelo \u2014 choose files to send");
    EXPECT_TRUE(severalFiles);
    ASSERT_EQ(dialogs_.Log().size(), 1u);
    EXPECT_EQ(dialogs_.Log()[0].kind, Kind::Message);
    EXPECT_EQ(dialogs_.Log()[0].caption, "Parcelo");
    EXPECT_EQ(dialogs_.Log()[0].text,
              "To use Parcelo, please select files in your file manager, click right mouse button, and choose Send "
              "to Parcelo (or Open With \u203a Parcelo).");
    EXPECT_TRUE(OpenMainWindows().empty());
    // The settings are not touched: the store is not even created.
    EXPECT_FALSE(QFile::exists(Path("registry.db")));
}

INSTANTIATE_TEST_SUITE_P(CommandLines, Startup,
                         ::testing::Values(NoPathCase{"NoArgument", {"parcelo"}},
                                           NoPathCase{"OneEmptyArgument", {"parcelo", ""}},
                                           NoPathCase{"TwoEmptyArguments", {"parcelo", "", ""}}),
                         [](const auto& test) { return std::string(test.param.label); });

// Started from the applications menu: the files chosen become the rows,
// as if they had been given on the command line.
TEST_F(Startup, WithoutAPathTheChosenFilesBecomeRows)
{
    MakeFile("a.txt", "abc");
    MakeFile("b.bin", "12345");
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(dir_.path()));
    std::vector<const char*> argv = {"parcelo"};
    std::vector<std::vector<std::string>> rows;
    int looks = 0;
    std::function<void()> inspect = [&] {
        auto forms = OpenMainWindows();
        if (forms.empty() && ++looks < 100)
            return QTimer::singleShot(0, inspect);
        if (forms.empty())
            return QApplication::quit();
        for (int i = 0; i < forms[0]->fileList->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = forms[0]->fileList->topLevelItem(i);
            rows.push_back({Std(row->text(0)), Std(row->text(1)), Std(row->toolTip(0))});
        }
        forms[0]->close();
    };
    OnChooser([&](QFileDialog& chooser) {
        auto* names = chooser.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(names, nullptr);
        names->setFocus();
        // Two names at once, pasted as a file manager copies them.
        QApplication::clipboard()->setText(QStringLiteral("\"a.txt\" \"b.bin\""));
        QTest::keyClick(FocusIn(chooser), Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(FocusIn(chooser), Qt::Key_Return);
        if (chooser.isVisible()) {
            ADD_FAILURE() << "the chooser took no names: " << Std(names->text());
            chooser.reject();
            return;
        }
        QTimer::singleShot(0, inspect);
    });
    EXPECT_EQ(RunParcelo(static_cast<int>(argv.size()), argv.data(), dialogs_), 0);
    qputenv("HOME", home);

    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"a.txt", "3", Std(Path("a.txt"))},
                                                           {"b.bin", "5", Std(Path("b.bin"))}}));
    EXPECT_TRUE(dialogs_.Log().empty());
}

TEST_F(Startup, WithPathsOpensTheMainWindowUntilItCloses)
{
    const std::string file = Std(MakeFile("a.txt", "abc"));
    std::vector<const char*> argv = {"parcelo", "", file.c_str()};
    int rows = -1;
    bool visible = false;
    QTimer::singleShot(0, [&] {
        auto forms = OpenMainWindows();
        if (forms.size() != 1)
            return QApplication::quit();
        rows = forms[0]->fileList->topLevelItemCount();
        visible = forms[0]->isVisible();
        forms[0]->close();
    });
    EXPECT_EQ(RunParcelo(static_cast<int>(argv.size()), argv.data(), dialogs_), 0);
    EXPECT_EQ(rows, 1);
    EXPECT_TRUE(visible);
    EXPECT_EQ(ApplicationTitle(), "Parcelo");
    EXPECT_TRUE(dialogs_.Log().empty());
    EXPECT_TRUE(OpenMainWindows().empty());
}

TEST(CommandLineArgs, SkipsEmptyArgumentsAndKeepsPathsWhole)
{
    const std::string longPath = "/tmp/" + std::string(300, 'x') + "/file.bin";
    const char* argv[] = {"parcelo", "", "/home/u/My Files/a b.txt", "", "Grüße.txt", longPath.c_str(), "-style"};
    const QStringList args = CommandLineArgs(7, argv);
    ASSERT_EQ(args.size(), 5);
    // Argument 0 is the running program's own full path.
    EXPECT_TRUE(QFileInfo(args[0]).isAbsolute()) << Std(args[0]);
    EXPECT_EQ(QFileInfo(args[0]).canonicalFilePath(),
              QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    EXPECT_EQ(args.mid(1), (QStringList{"/home/u/My Files/a b.txt", QStringLiteral("Grüße.txt"),
                                        QString::fromStdString(longPath), "-style"}));
}

// A file name that is not valid UTF-8 (here Latin-1 "café.txt") is still the
// same file: it is listed with its size, later paths get their rows, and
// the check boxes keep updating the ascii list.
TEST_F(Startup, NameThatIsNotUtf8IsListedAndTheListGoesOn)
{
    const QByteArray folder = QFile::encodeName(dir_.path());
    const QByteArray latin1 = folder + "/caf\xe9.txt";
    std::ofstream(latin1.constData(), std::ios::binary) << "hello";
    const QByteArray after = QFile::encodeName(MakeFile("b.bin", "1234567"));
    std::vector<const char*> argv = {"parcelo", latin1.constData(), after.constData()};
    std::vector<std::vector<std::string>> rows;
    bool ready = false;
    QStringList txtlist;
    QTimer::singleShot(0, [&] {
        auto forms = OpenMainWindows();
        ASSERT_EQ(forms.size(), 1u);
        TForm1& form = *forms[0];
        for (int i = 0; i < form.fileList->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = form.fileList->topLevelItem(i);
            rows.push_back({Std(row->text(0)), Std(row->text(1))});
        }
        ready = form.ListReady;
        if (form.fileList->topLevelItemCount() == 2)
            form.fileList->topLevelItem(1)->setCheckState(0, Qt::Checked);
        txtlist = form.txtlist;
        form.close();
    });
    EXPECT_EQ(RunParcelo(static_cast<int>(argv.size()), argv.data(), dialogs_), 0);
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{{"caf\xC3\xA9.txt", "5"}, {"b.bin", "7"}}));
    EXPECT_TRUE(ready);
    EXPECT_EQ(txtlist, (QStringList{".txt", ".bin"}));
    EXPECT_EQ(dialogs_.Count(Kind::Error), 0);
}

} // namespace
