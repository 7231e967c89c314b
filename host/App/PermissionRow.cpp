#include "App/PermissionRow.h"

#include "OrbelHost/HostL10n.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

PermissionRow::PermissionRow(const QString& title, std::function<void()> request, QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mark_ = new QLabel;
    mark_->setFixedWidth(18);
    auto* name = new QLabel(title);
    detail_ = new QLabel;
    detail_->setWordWrap(true);
    detail_->setTextFormat(Qt::PlainText);
    detail_->setStyleSheet(QStringLiteral("color: palette(mid);"));
    button_ = new QPushButton(HL(QStringLiteral("開啟權限")));
    connect(button_, &QPushButton::clicked, this, [request = std::move(request)] {
        if (request)
            request();
    });
    layout->addWidget(mark_, 0, 0);
    layout->addWidget(name, 0, 1);
    layout->setColumnStretch(1, 1);
    layout->addWidget(button_, 0, 2);
    layout->addWidget(detail_, 1, 1, 1, 2);
    setGranted(false);
}

QString PermissionRow::detail() const
{
    return detail_->isVisible() ? detail_->text() : QString();
}

void PermissionRow::setGranted(bool granted, const QString& detail)
{
    granted_ = granted;
    mark_->setText(granted ? QStringLiteral("✔") : QStringLiteral("⚠"));
    mark_->setStyleSheet(granted ? QStringLiteral("color: #2e9d4a;") : QStringLiteral("color: #e67e22;"));
    button_->setVisible(!granted);
    detail_->setText(detail);
    detail_->setVisible(!granted && !detail.isEmpty());
}
