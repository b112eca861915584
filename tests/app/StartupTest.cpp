// The entry point: the usage message without a path, the main window with
// paths, and how the command line becomes the list of paths.

#include <QApplication>
#include <QTimer>
#include <QTreeWidgetItem>

#include <fstream>

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

TEST_P(Startup, WithoutAPathShowsUsageAndCreatesNoWindow)
{
    SetApplicationTitle("");
    std::vector<const char*> argv = GetParam().argv;
    EXPECT_EQ(RunParcelo(static_cast<int>(argv.size()), argv.data(), dialogs_), 0);

    ASSERT_EQ(dialogs_.Log().size(), 1u);
    EXPECT_EQ(dialogs_.Log()[0].kind, Kind::Message);
    EXPECT_EQ(dialogs_.Log()[0].caption, "Parcelo");
    EXPECT_EQ(dialogs_.Log()[0].text,
              "To use Parcelo, please select files in Windows Explorer or My Computer, click right mouse button, and "
              "choose Parcelo in Send To submenu.");
    EXPECT_TRUE(OpenMainWindows().empty());
    // The settings are not touched: the store is not even created.
    EXPECT_FALSE(QFile::exists(Path("registry.db")));
}

INSTANTIATE_TEST_SUITE_P(CommandLines, Startup,
                         ::testing::Values(NoPathCase{"NoArgument", {"parcelo"}},
                                           NoPathCase{"OneEmptyArgument", {"parcelo", ""}},
                                           NoPathCase{"TwoEmptyArguments", {"parcelo", "", ""}}),
                         [](const auto& info) { return std::string(info.param.label); });

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
        rows = forms[0]->ListView1->topLevelItemCount();
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
        for (int i = 0; i < form.ListView1->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = form.ListView1->topLevelItem(i);
            rows.push_back({Std(row->text(0)), Std(row->text(1))});
        }
        ready = form.ListReady;
        if (form.ListView1->topLevelItemCount() == 2)
            form.ListView1->topLevelItem(1)->setCheckState(0, Qt::Checked);
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
