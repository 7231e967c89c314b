// The commands that move files, screenshots and the clipboard, the clipboard push, and what
// the controller does with what a phone sends on its file channel.

#include "OrbelHost/HostL10n.h"
#include "support/HostFixture.h"

#include <QDateTime>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonDocument>

namespace {
QByteArray pngOf(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QJsonObject json(const QByteArray& text)
{
    return QJsonDocument::fromJson(text).object();
}
} // namespace

class HostControllerFilesTest : public HostFixture {
protected:
    std::shared_ptr<rtc::FakeDataChannel> control;
    std::shared_ptr<rtc::FakeDataChannel> file;

    // One authenticated phone with both channels open.
    void connect(const QString& viewer = QStringLiteral("v1"))
    {
        join(viewer);
        rig.openChannel(viewer);
        control = rig.connectionOf(viewer)->channel("input");
        file = rig.connectionOf(viewer)->channel("file");
        file->setState(rtc::DataChannelState::Open);
        ASSERT_TRUE(waitFor([&] { return control->sentText().size() >= 3; })) << "no initial state";
    }
    // Sends one command and returns what came back on the control channel for it.
    QList<QByteArray> command(const QByteArray& message, int replies = 1)
    {
        const auto before = control->sentText().size();
        control->receive(message);
        waitFor([&] { return control->sentText().size() >= before + replies; }, replies ? 2000 : 100);
        if (replies)
            pump(20);
        drainEvents();
        QList<QByteArray> answers;
        // The pointer's own reports are not replies.
        for (const auto& text : control->sentText().mid(before))
            if (!text.contains(R"("t":"cur")") && !text.contains(R"("t":"shape")"))
                answers << text;
        return answers;
    }
    // The file transfers that went out on the file channel: each "begin" with its byte count.
    QList<QPair<QJsonObject, QByteArray>> transfers()
    {
        QList<QPair<QJsonObject, QByteArray>> out;
        for (const auto& sent : file->sent()) {
            if (!sent.binary && json(sent.data).value("t") == "begin")
                out.append({ json(sent.data), {} });
            else if (sent.binary && !out.isEmpty())
                out.last().second += sent.data;
        }
        return out;
    }
    QByteArray toast(const char* text) { return QByteArray(R"({"t":"toast","text":")") + text + R"("})"; }
};

TEST_F(HostControllerFilesTest, ClipGetAnswersForEachKindOfClipboard)
{
    startLinked();
    connect();
    auto& pasteboard = *rig.pasteboard;

    EXPECT_EQ(command(R"({"t":"clip-get"})"), QList<QByteArray> { toast("電腦的剪貼簿是空的") });
    pasteboard.currentText = QStringLiteral("hello 你好");
    EXPECT_EQ(command(R"({"t":"clip-get"})"), QList<QByteArray> { R"({"t":"clip","text":"hello 你好"})" });

    // Copied files win over everything; folders are not sent, nor files over 200 MiB.
    const QDir dir(rig.dir.path());
    QFile small(dir.filePath("small.txt"));
    ASSERT_TRUE(small.open(QIODevice::WriteOnly));
    small.write("small file");
    small.close();
    QFile big(dir.filePath("big.bin"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(300'000'000)); // sparse: nothing is written
    big.close();
    QFile photo(dir.filePath("photo.png"));
    ASSERT_TRUE(photo.open(QIODevice::WriteOnly));
    photo.write(pngOf(QImage(2, 2, QImage::Format_RGB32)));
    photo.close();
    pasteboard.files = { small.fileName(), big.fileName(), dir.path(), photo.fileName() };
    EXPECT_EQ(command(R"({"t":"clip-get"})"), QList<QByteArray> { toast("傳送電腦上複製的 2 個檔案…") });
    ASSERT_TRUE(waitFor([&] { return transfers().size() == 2 && file->sentText().size() == 4; }));
    EXPECT_EQ(transfers()[0].first.value("name"), "small.txt");
    EXPECT_EQ(transfers()[0].first.value("mime"), "text/plain");
    EXPECT_EQ(transfers()[0].first.value("kind"), "clipboard");
    EXPECT_EQ(transfers()[0].second, "small file");
    EXPECT_EQ(transfers()[1].first.value("mime"), "image/png");

    pasteboard.files = { big.fileName() };
    EXPECT_EQ(command(R"({"t":"clip-get"})"), QList<QByteArray> { toast("檔案太大（上限 200MB）") });
    pasteboard.files = { dir.path() };
    EXPECT_EQ(command(R"({"t":"clip-get"})"), QList<QByteArray> { toast("資料夾不能直接下載，請先壓縮成 zip") });

    // An image goes as a file; a PNG as it is, another type converted.
    pasteboard.files.clear();
    pasteboard.currentPng = QByteArray("exact png bytes");
    EXPECT_TRUE(command(R"({"t":"clip-get"})", 0).isEmpty());
    ASSERT_TRUE(waitFor([&] { return transfers().size() == 3; }));
    EXPECT_EQ(transfers()[2].first.value("name"), HL("剪貼簿圖片.png"));
    EXPECT_EQ(transfers()[2].second, "exact png bytes");
    pasteboard.currentPng.reset();
    QImage red(3, 2, QImage::Format_RGB32);
    red.fill(Qt::red);
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    red.save(&buffer, "BMP");
    pasteboard.currentOtherImage = bmp;
    command(R"({"t":"clip-get"})", 0);
    ASSERT_TRUE(waitFor([&] { return transfers().size() == 4; }));
    EXPECT_EQ(QImage::fromData(transfers()[3].second, "PNG").pixelColor(2, 1), QColor(Qt::red));

    // A text too long for one control message goes as a text file instead.
    pasteboard.currentOtherImage.reset();
    pasteboard.currentText = QString(70'000, 'z');
    EXPECT_TRUE(command(R"({"t":"clip-get"})", 0).isEmpty());
    ASSERT_TRUE(waitFor([&] { return transfers().size() == 5; }));
    EXPECT_EQ(transfers()[4].first.value("mime"), "text/plain; charset=utf-8");
    EXPECT_EQ(transfers()[4].second, QByteArray(70'000, 'z'));

    // Without a file channel there is no answer at all, not even for text.
    pasteboard.currentText = QStringLiteral("short");
    rig.controller->peer("v1")->fileChannel.reset();
    EXPECT_TRUE(command(R"({"t":"clip-get"})", 0).isEmpty());
}

TEST_F(HostControllerFilesTest, ClipSetWritesPastesAndIsNotEchoed)
{
    auto& controller = startLinked();
    connect();
    EXPECT_TRUE(command(R"({"t":"clip-set","paste":true})", 0).isEmpty());
    EXPECT_TRUE(command(R"({"t":"clip-set","text":5,"paste":true})", 0).isEmpty());
    EXPECT_FALSE(rig.pasteboard->currentText);
    EXPECT_TRUE(rig.events->events.isEmpty());

    command(R"({"t":"clip-set","text":"from the phone","paste":true})", 0);
    EXPECT_EQ(rig.pasteboard->currentText, QStringLiteral("from the phone"));
    EXPECT_EQ(rig.events->events, (QStringList { "key 29 down", "key 47 down", "key 47 up", "key 29 up" }));
    EXPECT_EQ(controller.clipboardSync().lastChange(), rig.pasteboard->changeCount());
    command(R"({"t":"clip-set","text":"no paste","paste":"yes"})", 0);
    EXPECT_EQ(rig.events->events.size(), 4);
    // The next looks at the clipboard find nothing new: the phone's own text is not sent back.
    pump(100);
    for (const auto& sent : control->sentText())
        EXPECT_FALSE(sent.contains(R"("auto")")) << sent.constData();

    // An image from the phone's clipboard lands on the computer's, and is not sent back either.
    QImage blue(4, 4, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    const QByteArray png = pngOf(blue);
    file->receive(QByteArray(R"({"t":"begin","name":"x","kind":"clipboard","size":)") + QByteArray::number(png.size()) + "}");
    file->receive(png, true);
    file->receive(R"({"t":"end"})");
    ASSERT_TRUE(waitFor([&] { return !rig.pasteboard->image.isNull(); }));
    EXPECT_EQ(rig.pasteboard->image.pixelColor(1, 1), QColor(Qt::blue));
    pump(100);
    EXPECT_TRUE(transfers().isEmpty());
    // Bytes that are no image leave the clipboard as it was.
    const long count = rig.pasteboard->changeCount();
    file->receive(R"({"t":"begin","name":"x","kind":"clipboard","size":4})");
    file->receive("junk", true);
    file->receive(R"({"t":"end"})");
    pump(100);
    EXPECT_EQ(rig.pasteboard->changeCount(), count);
}

TEST_F(HostControllerFilesTest, ClipboardChangesArePushedToAuthenticatedPhonesOnly)
{
    rig.pasteboard->currentText = QStringLiteral("copied before the host started");
    rig.pasteboard->count = 7;
    auto& controller = startLinked();
    connect("v1");
    auto first = control;
    auto firstFile = file;
    connect("v2");
    // A third phone still owes its PIN.
    join("v3");
    controller.peer("v3")->authed = false;
    rig.openChannel("v3");
    auto pending = rig.connectionOf("v3")->channel("input");
    pump(100);
    const auto pushes = [](const rtc::FakeDataChannel& channel) {
        QList<QByteArray> out;
        for (const auto& text : channel.sentText())
            if (text.contains(R"("auto")"))
                out << text;
        return out;
    };
    EXPECT_TRUE(pushes(*first).isEmpty());

    rig.pasteboard->setText(QStringLiteral("copied on the computer"));
    const QByteArray expected = R"({"auto":true,"t":"clip","text":"copied on the computer"})";
    ASSERT_TRUE(waitFor([&] { return pushes(*first).size() == 1 && pushes(*control).size() == 1; }));
    pump(100);
    EXPECT_EQ(pushes(*first), QList<QByteArray> { expected });
    EXPECT_EQ(pushes(*control), QList<QByteArray> { expected });
    EXPECT_TRUE(pushes(*pending).isEmpty());

    // Longer than 200,000 characters (a family emoji is one): not pushed, now or later.
    QString many;
    for (int i = 0; i < 200'001; ++i)
        many += QStringLiteral("e\u0301");
    rig.pasteboard->setText(many);
    pump(100);
    rig.pasteboard->setText(many);
    pump(100);
    EXPECT_EQ(pushes(*first).size(), 1);
    EXPECT_FALSE(ClipboardSync::longerThan(QString(200'000, 'a'), 200'000));
    EXPECT_TRUE(ClipboardSync::longerThan(QString(200'001, 'a'), 200'000));
    EXPECT_FALSE(ClipboardSync::longerThan(QString::fromUtf8("👨‍👩‍👧").repeated(3), 3));

    // An image goes to each phone's file channel; copied files are not pushed.
    rig.pasteboard->clear();
    rig.pasteboard->currentPng = QByteArray("pushed png");
    ASSERT_TRUE(waitFor([&] { return transfers().size() == 1; }));
    EXPECT_EQ(transfers()[0].first.value("kind"), "clipboard");
    EXPECT_EQ(transfers()[0].second, "pushed png");
    rig.pasteboard->clear();
    rig.pasteboard->files = { rig.dir.filePath("defaults.ini") };
    pump(100);
    EXPECT_EQ(transfers().size(), 1);
    EXPECT_EQ(pushes(*first).size(), 1);
}

TEST_F(HostControllerFilesTest, ScreenshotsReceivedFilesAndMalformedCommands)
{
    startLinked();
    connect();
    rig.cursor->pos = QPoint(10, 10);
    QImage arrow(4, 4, QImage::Format_ARGB32_Premultiplied);
    arrow.fill(Qt::green);
    rig.cursor->current = CursorSource::Shape { 1, arrow, QPoint(1, 1) };
    EXPECT_TRUE(command(R"({"t":"screenshot"})", 0).isEmpty());
    ASSERT_TRUE(waitFor([&] { return transfers().size() == 1 && file->sentText().size() == 2; }));
    const auto [begin, bytes] = transfers()[0];
    EXPECT_EQ(begin.value("kind"), "screenshot");
    EXPECT_EQ(begin.value("mime"), "image/png");
    const QString stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd HH.mm");
    EXPECT_TRUE(begin.value("name").toString().startsWith(HLFormat("螢幕截圖 %@.png", { stamp }).chopped(4)))
        << begin.value("name").toString().toStdString();
    EXPECT_TRUE(begin.value("name").toString().endsWith(".png"));
    const QImage shot = QImage::fromData(bytes, "PNG");
    EXPECT_EQ(shot.size(), QSize(64, 48));
    // The pointer is in the picture, its hot spot where the pointer is.
    EXPECT_EQ(shot.pixelColor(9, 9), QColor(Qt::green));
    EXPECT_NE(shot.pixelColor(8, 8), QColor(Qt::green));

    // A file from the phone: a notification that reveals it, and the folder shown at once.
    file->receive(R"({"t":"begin","name":"../report.pdf","size":3})");
    file->receive("pdf", true);
    file->receive(R"({"t":"end"})");
    ASSERT_TRUE(waitFor([&] { return rig.notifier->posted.size() == 2; }));
    EXPECT_EQ(rig.notifier->posted[1].first, HL("Velquin 遠端桌面：收到手機傳來的檔案"));
    EXPECT_EQ(rig.notifier->posted[1].second, HLFormat("%@（存在 家目錄／Velquin 收到的檔案）", { "report.pdf" }));
    const QString stored = QDir(rig.dir.filePath("received")).filePath("report.pdf");
    EXPECT_EQ(rig.workspace->revealed, QStringList { stored });
    ASSERT_TRUE(rig.notifier->activations[1]);
    rig.notifier->activations[1]();
    EXPECT_EQ(rig.workspace->revealed, (QStringList { stored, stored }));

    rig.screenshotWorks = false;
    EXPECT_EQ(command(R"({"t":"screenshot"})"), QList<QByteArray> { toast("截圖失敗") });
    rig.screenshotWorks = true;
    rig.controller->peer("v1")->fileChannel.reset();
    EXPECT_EQ(command(R"({"t":"screenshot"})"), QList<QByteArray> { toast("截圖失敗") });

    // Malformed commands are dropped without a word; "screenshot-ui" leaves nothing held.
    for (const char* message : { R"({"t":"ime-select","id":5})", R"({"t":"clip-set"})", R"({"t":["screenshot"]})",
                                 R"({"t":"screenshot-ui"})" })
        EXPECT_TRUE(command(message, 0).isEmpty()) << message;
    EXPECT_FALSE(rig.controller->input().holdsAnything());
    EXPECT_EQ(rig.events->events, (QStringList { "key 99 down", "key 99 up" }));
}
