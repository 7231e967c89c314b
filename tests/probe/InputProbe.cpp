// A window that covers the screen and prints, one line per event on stdout, the input that
// reaches it, the way a Qt application sees it. Tests post input and read the lines back:
//   ready
//   key <Qt key in hex> <text as hex UTF-8, or -> <repeat 0/1>
//   keyup <Qt key in hex>
//   press <left|middle|right> <1 or 2: Qt's own double-click detection>
//   release <left|middle|right>
//   drag <x> <y>            (the pointer moved with a button held)
//   wheel <angle delta x> <angle delta y>
//   paste <clipboard text as hex UTF-8>   (Control+V, as a text field pastes)
//   clipboard <text as hex UTF-8>          (asked for by "read-clipboard")
//   types <the clipboard's types, comma-separated>  (asked for by "clipboard-types")
//   pointer <x> <y>                        (asked for by "where": the pointer on the screen)
// Lines on stdin: "cursor arrow|ibeam|cross" sets the window's pointer shape, "copy <hex>"
// puts a text on the clipboard, "read-clipboard" reports the clipboard's text, and
// "flicker <ms>" repaints the window in alternating colours that often (0 stops).

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QKeyEvent>
#include <QMimeData>
#include <QPalette>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

namespace {
const char* buttonName(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton:
        return "left";
    case Qt::MiddleButton:
        return "middle";
    case Qt::RightButton:
        return "right";
    default:
        return "other";
    }
}

void say(const QByteArray& line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class Probe : public QWidget {
protected:
    void keyPressEvent(QKeyEvent* e) override
    {
        if (e->matches(QKeySequence::Paste)) {
            say("paste " + QGuiApplication::clipboard()->text().toUtf8().toHex());
            return;
        }
        const QByteArray text = e->text().isEmpty() ? QByteArray("-") : e->text().toUtf8().toHex();
        say("key " + QByteArray::number(e->key(), 16) + " " + text + " " + (e->isAutoRepeat() ? "1" : "0"));
    }
    void keyReleaseEvent(QKeyEvent* e) override
    {
        if (!e->isAutoRepeat())
            say("keyup " + QByteArray::number(e->key(), 16));
    }
    void mousePressEvent(QMouseEvent* e) override { say(QByteArray("press ") + buttonName(e->button()) + " 1"); }
    void mouseDoubleClickEvent(QMouseEvent* e) override { say(QByteArray("press ") + buttonName(e->button()) + " 2"); }
    void mouseReleaseEvent(QMouseEvent* e) override { say(QByteArray("release ") + buttonName(e->button())); }
    void mouseMoveEvent(QMouseEvent* e) override
    {
        if (e->buttons() != Qt::NoButton)
            say("drag " + QByteArray::number(int(e->position().x())) + " " + QByteArray::number(int(e->position().y())));
    }
    void wheelEvent(QWheelEvent* e) override
    {
        say("wheel " + QByteArray::number(e->angleDelta().x()) + " " + QByteArray::number(e->angleDelta().y()));
    }
};
} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    Probe probe;
    probe.setWindowFlag(Qt::FramelessWindowHint);
    // A Wayland compositor places windows itself: full screen puts this one where X11 does.
    if (QGuiApplication::platformName() == QStringLiteral("wayland")) {
        probe.showFullScreen();
    } else {
        probe.setGeometry(QApplication::primaryScreen()->geometry());
        probe.show();
    }
    probe.activateWindow();
    probe.setFocus();
    // Ready once the window is up and has the keyboard focus.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (probe.isActiveWindow()) {
            poll.stop();
            say("ready");
        }
    });
    poll.start(20);

    QTimer flicker;
    int colour = 0;
    probe.setAutoFillBackground(true);
    QObject::connect(&flicker, &QTimer::timeout, [&] {
        static const QColor colours[] = { QColor(0x20, 0x30, 0x40), QColor(0x40, 0x50, 0x60), QColor(0x60, 0x20, 0x30),
                                          QColor(0x30, 0x60, 0x20) };
        QPalette palette = probe.palette();
        palette.setColor(QPalette::Window, colours[colour++ % 4]);
        probe.setPalette(palette);
    });

    const auto run = [&](const QByteArray& command) {
        if (command == "cursor ibeam")
            probe.setCursor(Qt::IBeamCursor);
        else if (command == "cursor cross")
            probe.setCursor(Qt::CrossCursor);
        else if (command == "cursor arrow")
            probe.setCursor(Qt::ArrowCursor);
        else if (command.startsWith("copy "))
            QGuiApplication::clipboard()->setText(QString::fromUtf8(QByteArray::fromHex(command.mid(5))));
        else if (command == "read-clipboard")
            say("clipboard " + QGuiApplication::clipboard()->text().toUtf8().toHex());
        else if (command == "clipboard-types") {
            const QMimeData* data = QGuiApplication::clipboard()->mimeData();
            say("types " + (data ? data->formats().join(QLatin1Char(',')).toUtf8() : QByteArray()));
        } else if (command == "where")
            say("pointer " + QByteArray::number(QCursor::pos().x()) + " " + QByteArray::number(QCursor::pos().y()));
        else if (command.startsWith("flicker ")) {
            const int ms = command.mid(8).toInt();
            if (ms > 0)
                flicker.start(ms);
            else
                flicker.stop();
        }
    };
    QByteArray pending;
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, [&] {
        char chunk[4096];
        const auto n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            commands.setEnabled(false);
            return;
        }
        pending.append(chunk, int(n));
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
            run(pending.left(end).trimmed());
    });
    return app.exec();
}
