#pragma once
// A QR code drawn module for module (no smoothing), stretched to the widget's size.

#include <QImage>
#include <QWidget>

class QRCodeView : public QWidget {
public:
    explicit QRCodeView(QWidget* parent = nullptr);
    // An empty text, or one that cannot be encoded, shows nothing.
    void setText(const QString& text);
    QString text() const { return text_; }
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QImage image_;
};
