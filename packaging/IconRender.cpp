// velquin-icon-render SVG SIZE OUT.png: draws the application icon at one size, for the
// installed icon theme (menus and docks that do not read SVG).
#include <QStringList>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char** argv)
{
    // No application object: the icon has no text, so nothing needs fonts or a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    bool ok = false;
    const int size = arguments.value(2).toInt(&ok);
    if (arguments.size() != 4 || !ok || size <= 0 || size > 1024) {
        std::fprintf(stderr, "usage: velquin-icon-render SVG SIZE OUT.png\n");
        return 2;
    }
    QSvgRenderer svg(arguments[1]);
    if (!svg.isValid()) {
        std::fprintf(stderr, "velquin-icon-render: cannot read %s\n", qPrintable(arguments[1]));
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
    painter.end();
    if (!image.save(arguments[3], "PNG")) {
        std::fprintf(stderr, "velquin-icon-render: cannot write %s\n", qPrintable(arguments[3]));
        return 1;
    }
    return 0;
}
