#include "platform/qt/QtDialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

QString Caption() { return QString::fromStdString(ApplicationTitle()); }

// Boxes sit over the window the user is working in, when there is one.
QWidget* Owner() { return QApplication::activeWindow(); }

}  // namespace

void QtDialogs::MessageBox(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, Caption(), QString::fromStdString(text), QMessageBox::Ok, Owner());
  box.exec();
}

DialogAnswer QtDialogs::QuestionBox(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, Caption(), QString::fromStdString(text),
                  QMessageBox::Yes | QMessageBox::No, Owner());
  box.setDefaultButton(QMessageBox::Yes);
  // Escape and the title bar's close button both answer No.
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes ? DialogAnswer::Yes : DialogAnswer::No;
}

void QtDialogs::ErrorBox(const std::string& text) {
  QMessageBox box(QMessageBox::Critical, Caption(), QString::fromStdString(text), QMessageBox::Ok, Owner());
  box.exec();
}

void QtDialogs::Beep() { QApplication::beep(); }
