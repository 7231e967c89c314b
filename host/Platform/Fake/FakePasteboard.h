#pragma once
#include "Platform/Pasteboard.h"

class FakePasteboard : public Pasteboard {
public:
    long count = 0;
    QStringList files;
    std::optional<QByteArray> currentPng;
    std::optional<QByteArray> currentOtherImage;
    std::optional<QString> currentText;
    QImage image; // the last one set

    long changeCount() override { return count; }
    QStringList filePaths() override { return files; }
    std::optional<QByteArray> png() override { return currentPng; }
    std::optional<QByteArray> otherImage() override { return currentOtherImage; }
    std::optional<QString> text() override { return currentText; }
    bool setText(const QString& t) override { clear(); currentText = t; return true; }
    bool setImage(const QImage& i) override { clear(); image = i; currentPng = QByteArray("png of the image"); return true; }
    // Another application copies something.
    void clear()
    {
        ++count;
        files.clear();
        currentPng.reset();
        currentOtherImage.reset();
        currentText.reset();
        image = QImage();
    }
};
