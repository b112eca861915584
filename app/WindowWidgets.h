#pragma once
// The main window's own kinds of control: the directory box that says when
// its list drops down, the profile box that completes nothing, and the style
// that masks a password with "*".

#include <QComboBox>

class QStyle;

// A combo box that says when its list is about to drop down, so the list
// can be filled just before it opens.
class DropDownComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    void showPopup() override;
signals:
    void aboutToDropDown();
};

// The editable profile box. It completes nothing as the user types: a name
// typed is the name meant. `entryPicked` says that the user picked an entry
// of the list (from the drop-down, or with the arrow keys); the entry Qt
// selects when the box loses the focus holding a text equal to an entry is
// not a pick.
class ProfileComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit ProfileComboBox(QWidget* parent = nullptr);
signals:
    void entryPicked();

protected:
    void focusOutEvent(QFocusEvent* event) override;

private:
    bool losingFocus_ = false;
};

// A style for the password box: masks with "*" rather than the style's
// bullet. Owned by the application, so it outlives every window using it.
[[nodiscard]] QStyle* PasswordStyle();
