#pragma once
// The Help dialog: the program's name and version, and links to the
// read-me, the online help and FAQ, the project's web site and its mail
// address. Every link is opened by the desktop.

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <functional>

// A label that acts as a link: blue, a pointing hand over it, and it can be
// reached with Tab and followed with Enter or Space as well as clicked.
class LinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit LinkLabel(const QString& text, QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

// Where the links lead. The web pages are sections of the project's
// README; change them here only.
namespace ParceloLinks {
inline constexpr const char* HelpPage = "https://example.org/parcelo#using-it";
inline constexpr const char* FaqPage = "https://example.org/parcelo#frequently-asked-questions";
inline constexpr const char* WebSite = "https://example.org/parcelo";
inline constexpr const char* MailAddress = "parcelo@example.org";
} // namespace ParceloLinks

// The read-me file the Help dialog opens: "Readme.txt" in `programFolder`
// (the folder of the running program) when it is there, else the copy an
// installation put into Parcelo's data folder (<prefix>/share/parcelo beside
// the program's bin folder, or parcelo/ in one of the desktop's data
// folders). Empty when there is none.
[[nodiscard]] QString FindReadme(const QString& programFolder);

class TAboutFm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutFm(QWidget* owner = nullptr);

    // Link reactions.
    void OnReadmeLinkClicked();  // the read-me file
    void OnHelpLinkClicked();    // the online help page
    void OnFaqLinkClicked();     // the online FAQ page
    void OnWebSiteLinkClicked(); // the web site
    void OnMailLinkClicked();    // a new mail to the project
    void OKBnClick();            // Close

    QLabel* iconLabel;      // object name "Image1"
    QLabel* nameLabel;      // object name "Label1"
    QLabel* versionLabel;   // object name "Label2"
    QLabel* copyrightLabel; // object name "Label3"
    LinkLabel* readmeLink;  // object name "Label4"
    LinkLabel* helpLink;    // object name "Label19"
    LinkLabel* faqLink;     // object name "Label14"
    LinkLabel* webSiteLink; // object name "Label9"
    LinkLabel* mailLink;    // object name "Label7"
    QPushButton* OKBn;

    // The folder the read-me is looked for in first: the running program's
    // own folder, ending with "/".
    QString ProgramFolder;
    // Hands a file path, web address or mail link to the desktop. Its result
    // is not looked at: only a missing read-me gets a message.
    std::function<bool(const QString&)> Open;
};
