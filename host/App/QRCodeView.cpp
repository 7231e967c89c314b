#include "App/QRCodeView.h"

#include "OrbelHost/LinkQRCode.h"

#include <QPainter>

QRCodeView::QRCodeView(QWidget* parent)
    : QWidget(parent)
{
}

void QRCodeView::setText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    // Eight pixels a module, as generated; the widget stretches it without interpolation.
    image_ = text.isEmpty() ? QImage() : makeQRCode(text, 8);
    update();
}

void QRCodeView::paintEvent(QPaintEvent*)
{
    if (image_.isNull())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(rect(), image_);
}
