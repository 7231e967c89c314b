#pragma once
#include <QImage>
#include <QString>

// The QR code of `text`: black modules on white with a quiet zone, each module
// `moduleSize` pixels; a null image when the text cannot be encoded.
QImage makeQRCode(const QString& text, int moduleSize);
// The same code as rows of text, two modules per character (for terminals).
QString qrCodeText(const QString& text);
