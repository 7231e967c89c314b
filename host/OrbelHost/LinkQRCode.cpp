#include "OrbelHost/LinkQRCode.h"

#include <qrencode.h>

#include <memory>

namespace {
constexpr int kQuietZone = 4;

using Code = std::unique_ptr<QRcode, decltype(&QRcode_free)>;

Code encode(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    return Code(QRcode_encodeString(utf8.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
}

bool dark(const QRcode& code, int x, int y)
{
    if (x < 0 || y < 0 || x >= code.width || y >= code.width)
        return false;
    return code.data[y * code.width + x] & 1;
}
} // namespace

QImage makeQRCode(const QString& text, int moduleSize)
{
    auto code = encode(text);
    if (!code || moduleSize < 1)
        return {};
    const int side = (code->width + 2 * kQuietZone) * moduleSize;
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code->width; ++y)
        for (int x = 0; x < code->width; ++x)
            if (dark(*code, x, y))
                for (int dy = 0; dy < moduleSize; ++dy) {
                    uchar* row = image.scanLine((y + kQuietZone) * moduleSize + dy);
                    std::fill_n(row + (x + kQuietZone) * moduleSize, moduleSize, uchar(0));
                }
    return image;
}

QString qrCodeText(const QString& text)
{
    auto code = encode(text);
    if (!code)
        return {};
    // Light modules print as blocks, so the code reads on a dark terminal.
    QString out;
    for (int y = -2; y < code->width + 2; y += 2) {
        for (int x = -2; x < code->width + 2; ++x) {
            const bool top = !dark(*code, x, y);
            const bool bottom = !dark(*code, x, y + 1);
            out += top && bottom ? QChar(0x2588) : top ? QChar(0x2580) : bottom ? QChar(0x2584) : QChar(' ');
        }
        out += QChar('\n');
    }
    return out;
}
