#pragma once
#include "Platform/Pasteboard.h"

class FakePasteboard : public Pasteboard {
public:
    long count = 0;
    std::optional<QString> currentText;
    std::optional<QByteArray> currentPng;
    QStringList files;

    long changeCount() override { return count; }
    std::optional<QString> text() override { return currentText; }
    std::optional<QByteArray> png() override { return currentPng; }
    QStringList filePaths() override { return files; }
    bool setText(const QString& t) override { clear(); currentText = t; return true; }
    bool setPng(const QByteArray& p) override { clear(); currentPng = p; return true; }
    bool setFilePaths(const QStringList& p) override { clear(); files = p; return true; }

private:
    void clear() { ++count; currentText.reset(); currentPng.reset(); files.clear(); }
};
