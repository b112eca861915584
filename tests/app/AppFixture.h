#pragma once
// Shared helpers of the main-window tests: a temporary folder of sample
// files, a fixed locale, and a window built on a list of paths.

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QPalette>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

#include "app/Main.h"
#include "platform/Dialogs.h"
#include "support/ScriptedDialogs.h"

class AppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        // Dates and times in the rows follow the user's locale; pin one.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        SetApplicationTitle("Parcelo");
        qputenv("PARCELO_REGISTRY", QFile::encodeName(Path("registry.db")));
    }
    void TearDown() override
    {
        QLocale::setDefault(QLocale::system());
        qunsetenv("PARCELO_REGISTRY");
    }

    QString Path(const QString& name) const { return dir_.filePath(name); }

    // Writes `bytes` to the file and sets its last-write time.
    QString MakeFile(const QString& name, const QByteArray& bytes,
                     const QDateTime& lastWrite = QDateTime(QDate(2021, 1, 2), QTime(15, 4, 7)))
    {
        const QString path = Path(name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        file.write(bytes);
        file.flush(); // the time is set last, after every write
        EXPECT_TRUE(file.setFileTime(lastWrite, QFileDevice::FileModificationTime));
        file.close();
        return path;
    }

    QString MakeFolder(const QString& name)
    {
        EXPECT_TRUE(QDir().mkpath(Path(name)));
        return Path(name);
    }

    std::unique_ptr<TForm1> OpenWindow(const QStringList& paths)
    {
        return std::make_unique<TForm1>(QStringList{QStringLiteral("/usr/bin/parcelo")} + paths);
    }

    ScriptedDialogs dialogs_;
    QTemporaryDir dir_;
};

inline std::string Std(const QString& text)
{
    return text.toStdString();
}

// A dark theme's palette for the application, while it lives.
class DarkPalette {
public:
    static inline const QColor Text{0xee, 0xee, 0xee};
    static inline const QColor Link{0x8a, 0xb4, 0xf8};

    DarkPalette() : before_(QApplication::palette())
    {
        QPalette dark = before_;
        dark.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
        dark.setColor(QPalette::Text, Text);
        dark.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
        dark.setColor(QPalette::WindowText, Text);
        dark.setColor(QPalette::Link, Link);
        QApplication::setPalette(dark);
    }
    ~DarkPalette() { QApplication::setPalette(before_); }
    DarkPalette(const DarkPalette&) = delete;
    DarkPalette& operator=(const DarkPalette&) = delete;

private:
    QPalette before_;
};
