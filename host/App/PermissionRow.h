#pragma once
// One permission: a green check when granted, else an orange warning, what it is for, and a
// button that asks for it.

#include <QWidget>

#include <functional>

class QLabel;
class QPushButton;

class PermissionRow : public QWidget {
public:
    PermissionRow(const QString& title, std::function<void()> request, QWidget* parent = nullptr);
    // `detail`: what is missing and how to fix it, shown while not granted.
    void setGranted(bool granted, const QString& detail = {});
    bool granted() const { return granted_; }
    // The text shown while not granted.
    QString detail() const;
    QPushButton* requestButton() const { return button_; }

private:
    bool granted_ = false;
    QLabel* mark_;
    QLabel* detail_;
    QPushButton* button_;
};
