#pragma once
// The sheet that sets the access PIN: two hidden entries that must agree, 4 to 8 digits.

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

class PINSetupView : public QDialog {
    Q_OBJECT
public:
    explicit PINSetupView(std::function<void(const QString& pin)> onSave, QWidget* parent = nullptr);

    // What is wrong with the two entries so far; empty when nothing is.
    static QString error(const QString& first, const QString& second);

    QLineEdit* firstField() const { return first_; }
    QLineEdit* secondField() const { return second_; }
    QPushButton* saveButton() const { return save_; }
    QLabel* errorLabel() const { return error_; }

private:
    void update();

    std::function<void(const QString&)> onSave_;
    QLineEdit* first_;
    QLineEdit* second_;
    QLabel* error_;
    QPushButton* save_;
};
