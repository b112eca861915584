#pragma once
// Shared helpers of the upload tests: the real main window (never shown),
// a temporary folder of files to send, a private settings store, scripted
// dialog answers, and a look at the FTP dialogue the window displayed.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeWidgetItem>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/Main.h"
#include "ftp/Ftpcli.h"
#include "platform/Dialogs.h"
#include "platform/Messages.h"
#include "support/ScriptedDialogs.h"

class UploadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        SetApplicationTitle("Parcelo");
        SetTerminating(false);
        qputenv("PARCELO_REGISTRY", QFile::encodeName(Path("registry.db")));
    }
    void TearDown() override
    {
        // A window closed by a test marks the program as terminating.
        SetTerminating(false);
        qunsetenv("PARCELO_REGISTRY");
    }

    QString Path(const QString& name) const { return dir_.filePath(name); }

    QString MakeFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = Path(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write(bytes);
        return path;
    }

    QString MakeFolder(const QString& name)
    {
        EXPECT_TRUE(QDir().mkpath(Path(name)));
        return Path(name);
    }

    // A window on these paths; the application counts as active unless a
    // test says otherwise. The scripted dialogues of these tests answer
    // PORT, so the window starts in active mode; a test of passive mode
    // switches it on (a fresh store's own default is passive).
    std::unique_ptr<TForm1> OpenWindow(const QStringList& paths)
    {
        auto form = std::make_unique<TForm1>(QStringList{QStringLiteral("/usr/bin/parcelo")} + paths);
        form->ApplicationIsActive = [] { return true; };
        form->state.passiveMode = false;
        return form;
    }

    // Fills the profile controls as a user would type them.
    static void FillProfile(TForm1& form, const QString& address, const QString& port, const QString& user,
                            const QString& password, const QString& profile = QStringLiteral("test"))
    {
        form.hostcmbox->setEditText(profile);
        form.addressedit->setText(address);
        form.portedit->setText(port);
        form.useredit->setText(user);
        form.passedit->setText(password);
    }

    static void SetSubdirectory(TForm1& form, const QString& dir)
    {
        form.subdirRadio->setChecked(true);
        form.dircmbox->setEnabled(true);
        form.dircmbox->setEditText(dir);
    }

    // Sets each row's check box: true sends the file in ascii mode.
    static void SetAscii(TForm1& form, const std::vector<bool>& ascii)
    {
        for (size_t i = 0; i < ascii.size(); ++i)
            form.fileList->topLevelItem(static_cast<int>(i))->setCheckState(0, ascii[i] ? Qt::Checked : Qt::Unchecked);
    }

    // The lines of the display box, in order.
    static std::vector<std::string> Memo(const TForm1& form)
    {
        std::vector<std::string> lines;
        for (const QString& line : form.DisplayMemo->toPlainText().split(u'\n'))
            lines.push_back(line.toStdString());
        return lines;
    }

    // The memo's lines that start with one of these prefixes, in order.
    static std::vector<std::string> MemoLines(const TForm1& form, const std::vector<std::string>& prefixes)
    {
        std::vector<std::string> picked;
        for (const std::string& line : Memo(form))
            for (const std::string& prefix : prefixes)
                if (line.rfind(prefix, 0) == 0) {
                    picked.push_back(line);
                    break;
                }
        return picked;
    }

    // True when the focus of the window is on `field` (or inside it, as in
    // the edit part of a combo box).
    static bool FocusOn(const TForm1& form, const QWidget* field)
    {
        const QWidget* focused = form.focusWidget();
        return focused && (focused == field || field->isAncestorOf(focused));
    }

    static QByteArray ReadAll(const std::string& path)
    {
        QFile file(QString::fromStdString(path));
        if (!file.open(QIODevice::ReadOnly))
            return "<missing>";
        return file.readAll();
    }

    ScriptedDialogs dialogs_;
    QTemporaryDir dir_;
};

// A port on 127.0.0.1 that was free a moment ago, so nothing listens there
// (0 when none could be had).
int UnusedLoopbackPort();

inline std::string Std(const QString& text)
{
    return text.toStdString();
}

// Bytes that an ascii transfer would change: CR LF pairs, bare CRs and
// LFs, and every other byte value.
inline QByteArray BinaryBytes(int size)
{
    QByteArray bytes;
    bytes.reserve(size);
    for (int i = 0; bytes.size() < size; ++i) {
        bytes.append(static_cast<char>((i * 7) & 0xFF));
        if (i % 5 == 0)
            bytes.append("\r\n");
    }
    bytes.truncate(size);
    return bytes;
}
