#include "App/PINSetupView.h"

#include "OrbelHost/AccessPIN.h"
#include "OrbelHost/HostL10n.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

PINSetupView::PINSetupView(std::function<void(const QString&)> onSave, QWidget* parent)
    : QDialog(parent)
    , onSave_(std::move(onSave))
{
    setWindowTitle(HL(QStringLiteral("設定訪問密碼")));
    auto* layout = new QVBoxLayout(this);
    auto* title = new QLabel(HL(QStringLiteral("設定訪問密碼")));
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    auto* explain = new QLabel(HL(QStringLiteral("手機每次連線到這台電腦，都要先輸入這組數字。")));
    explain->setWordWrap(true);
    layout->addWidget(explain);

    first_ = new QLineEdit;
    first_->setEchoMode(QLineEdit::Password);
    first_->setPlaceholderText(HLFormat(QStringLiteral("%ld～%ld 位數字"), { AccessPIN::kMinDigits, AccessPIN::kMaxDigits }));
    second_ = new QLineEdit;
    second_->setEchoMode(QLineEdit::Password);
    second_->setPlaceholderText(HL(QStringLiteral("再輸入一次")));
    for (QLineEdit* field : { first_, second_ }) {
        field->setInputMethodHints(Qt::ImhDigitsOnly | Qt::ImhSensitiveData);
        layout->addWidget(field);
        connect(field, &QLineEdit::textChanged, this, &PINSetupView::update);
    }
    error_ = new QLabel;
    error_->setStyleSheet(QStringLiteral("color: #c0392b;"));
    error_->setTextFormat(Qt::PlainText);
    layout->addWidget(error_);

    // Cancel, then Save, at the right.
    auto* buttons = new QHBoxLayout;
    auto* cancel = new QPushButton(HL(QStringLiteral("取消")));
    save_ = new QPushButton(HL(QStringLiteral("儲存")));
    save_->setDefault(true);
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(save_, &QPushButton::clicked, this, [this] {
        if (!save_->isEnabled())
            return;
        if (onSave_)
            onSave_(first_->text());
        accept();
    });
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(save_);
    layout->addLayout(buttons);
    update();
}

QString PINSetupView::error(const QString& first, const QString& second)
{
    if (first.isEmpty())
        return {};
    for (QChar c : first)
        if (!c.isDigit())
            return HL(QStringLiteral("只能用數字"));
    if (!AccessPIN::isValidFormat(first))
        return HLFormat(QStringLiteral("請設定 %ld～%ld 位數字"), { AccessPIN::kMinDigits, AccessPIN::kMaxDigits });
    if (second.isEmpty())
        return {};
    if (first != second)
        return HL(QStringLiteral("兩次輸入不一樣"));
    return {};
}

void PINSetupView::update()
{
    const QString problem = error(first_->text(), second_->text());
    error_->setText(problem);
    error_->setVisible(!problem.isEmpty());
    save_->setEnabled(problem.isEmpty() && AccessPIN::isValidFormat(first_->text()) && first_->text() == second_->text());
}
