#pragma once
// The Options dialog: the extensions sent in ascii mode, passive transfers,
// the firewall host and port, exit after a completed transfer, reconnecting
// and the file times; and for the shown profile, the temporary name and
// what happens to a file the server has already. It only
// edits its own controls; whoever opens it copies the values in before and
// out after an OK.

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>

class TOptionsFm : public QDialog {
    Q_OBJECT
public:
    explicit TOptionsFm(QWidget* owner = nullptr);

    // Reactions.
    void FormCreate();
    void fwCkBoxClick();
    void addbnClick();
    // `key` is the character typed in extedit; Enter (13) adds the entry.
    void exteditKeyPress(int key);
    void removebnClick();
    // `key` is the virtual key pressed in extlist; Delete (46) removes.
    void extlistKeyDown(int key);
    void tempNameCheckClick();

    QPushButton* OK;
    QCheckBox* Exitckbox;
    QCheckBox* Folderckbox;  // send folders with everything in them
    QLabel* extensionsLabel; // object name "extlabel1"
    QLabel* asciiModeLabel;  // object name "extlabel2"
    QListWidget* extlist;
    QLineEdit* extedit;
    QPushButton* addbn;
    QPushButton* removebn;
    QCheckBox* fwCkBox;
    QLabel* fwhostlabel;
    QLineEdit* fwhostedit;
    QLabel* fwportlabel;
    QLineEdit* fwportedit;
    QCheckBox* pasvckbox;
    QLabel* retriesLabel;      // object name "retrieslabel"
    QSpinBox* retriesSpin;     // object name "retriesspin"
    QCheckBox* keepTimeCheck;  // object name "keeptimeckbox"
    QLabel* profileLabel;      // object name "profilelabel"
    QCheckBox* tempNameCheck;  // object name "tempckbox"
    QLineEdit* tempSuffixEdit; // object name "tempsuffixedit"
    QLabel* ifExistsLabel;     // object name "ifexistslabel"
    QComboBox* ifExistsBox;    // object name "ifexistscmbox"; items in ExistingFileRule order
    QPushButton* Cancel;

    // The profile part: its name in the heading, and its rules.
    void SetProfile(const QString& name, const QString& tempSuffix, int ifExists);
    // The suffix to use: empty when the temporary name is off.
    [[nodiscard]] QString TempSuffix() const;

    // The entries of extlist, in order.
    [[nodiscard]] QStringList Extensions() const;
    // Fills extlist with `entries`, none of them selected or current.
    void SetExtensions(const QStringList& entries);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
