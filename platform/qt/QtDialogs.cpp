#include "platform/qt/QtDialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

QString Caption()
{
    return QString::fromStdString(ApplicationTitle());
}

// The program's main window: a visible top-level window that is neither a
// dialog nor a pop-up.
QWidget* MainWindow()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && widget->windowType() == Qt::Window && widget->parentWidget() == nullptr)
            return widget;
    return nullptr;
}

} // namespace

QtDialogs::QtDialogs()
    : InBackground([] { return QGuiApplication::applicationState() != Qt::ApplicationActive; }),
      RequestAttention([](QWidget* window) { QApplication::alert(window); })
{ }

QWidget* QtDialogs::Owner()
{
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    if (QWidget* main = MainWindow())
        return main;
    return QApplication::activeWindow();
}

int QtDialogs::Show(QMessageBox& box)
{
    // Names of files and servers are shown as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    // A box that opens while the user works elsewhere (a long upload failed)
    // waits for an answer; say so on the task bar.
    if (box.parentWidget() != nullptr && InBackground())
        RequestAttention(box.parentWidget()->window());
    return box.exec();
}

void QtDialogs::MessageBox(const std::string& text)
{
    QMessageBox box(QMessageBox::NoIcon, Caption(), QString::fromStdString(text), QMessageBox::Ok, Owner());
    Show(box);
}

DialogAnswer QtDialogs::QuestionBox(const std::string& text)
{
    QMessageBox box(QMessageBox::NoIcon, Caption(), QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No,
                    Owner());
    box.setDefaultButton(QMessageBox::Yes);
    // Escape and the title bar's close button both answer No.
    box.setEscapeButton(QMessageBox::No);
    return Show(box) == QMessageBox::Yes ? DialogAnswer::Yes : DialogAnswer::No;
}

DialogAnswer QtDialogs::RiskyQuestionBox(const std::string& text)
{
    QMessageBox box(QMessageBox::Warning, Caption(), QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No,
                    Owner());
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return Show(box) == QMessageBox::Yes ? DialogAnswer::Yes : DialogAnswer::No;
}

DialogAnswer QtDialogs::QuestionForEachBox(const std::string& text)
{
    QMessageBox box(QMessageBox::NoIcon, Caption(), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::YesToAll | QMessageBox::No | QMessageBox::NoToAll, Owner());
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    switch (Show(box)) {
    case QMessageBox::Yes: return DialogAnswer::Yes;
    case QMessageBox::YesToAll: return DialogAnswer::YesToAll;
    case QMessageBox::NoToAll: return DialogAnswer::NoToAll;
    default: return DialogAnswer::No;
    }
}

void QtDialogs::ErrorBox(const std::string& text)
{
    QMessageBox box(QMessageBox::Critical, Caption(), QString::fromStdString(text), QMessageBox::Ok, Owner());
    Show(box);
}

void QtDialogs::Beep()
{
    QApplication::beep();
}
