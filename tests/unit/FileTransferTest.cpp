#include "OrbelHost/FileTransfer.h"
#include "WebRTC/Fake/FakeWebRTC.h"
#include "support/Wait.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <fcntl.h>

namespace {
struct Rig {
    QTemporaryDir dir;
    FileTransfer::Places places { dir.filePath("received"), dir.filePath("tmp") };
    QList<QByteArray> clipboard;
    QStringList received;
    std::unique_ptr<FileTransfer> files = make();

    std::unique_ptr<FileTransfer> make()
    {
        QDir().mkpath(places.temporaryFolder);
        FileTransfer::Callbacks callbacks;
        callbacks.onClipboardImage = [this](const QByteArray& bytes) { clipboard << bytes; };
        callbacks.onFileReceived = [this](const QString& path) { received << QFileInfo(path).fileName(); };
        return std::make_unique<FileTransfer>(places, std::move(callbacks));
    }
    void text(const QByteArray& message) { files->handle(message, false); }
    void begin(const QString& name, qint64 size, const char* kind = "file")
    {
        text(QJsonDocument(QJsonObject { { "t", "begin" }, { "id", "X" }, { "name", name }, { "size", double(size) },
                                         { "mime", "application/octet-stream" }, { "kind", kind } })
                 .toJson(QJsonDocument::Compact));
    }
    void chunk(const QByteArray& bytes) { files->handle(bytes, true); }
    void end() { text(R"({"t":"end","id":"X"})"); }
    void receive(const QString& name, const QByteArray& bytes)
    {
        begin(name, bytes.size());
        chunk(bytes);
        end();
    }
    // Every name in a folder, hidden ones included, once the worker is done.
    QStringList in(const QString& folder)
    {
        files->waitForPending();
        drainEvents();
        return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    }
    QStringList stored() { return in(places.receiveFolder); }
    QStringList temporary() { return in(places.temporaryFolder); }
    QByteArray contents(const QString& name) const
    {
        QFile file(QDir(places.receiveFolder).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
};

std::shared_ptr<rtc::FakeDataChannel> openChannel()
{
    auto channel = std::make_shared<rtc::FakeDataChannel>(QStringLiteral("file"));
    channel->setState(rtc::DataChannelState::Open);
    return channel;
}

QList<qsizetype> chunkSizes(const rtc::FakeDataChannel& channel)
{
    QList<qsizetype> sizes;
    for (const auto& sent : channel.sent())
        if (sent.binary)
            sizes << sent.data.size();
    return sizes;
}
} // namespace

TEST(FileTransferTest, NamesFromThePhoneAreMadeSafe)
{
    EXPECT_EQ(FileTransfer::sanitizedName("../../passwd"), "passwd");
    EXPECT_EQ(FileTransfer::sanitizedName("a:b.txt"), "a-b.txt");
    EXPECT_EQ(FileTransfer::sanitizedName(" .hidden. "), "hidden");
    EXPECT_EQ(FileTransfer::sanitizedName("..."), "檔案");
    EXPECT_EQ(FileTransfer::sanitizedName(""), "檔案");
    EXPECT_EQ(FileTransfer::sanitizedName("dir/"), "檔案");
    EXPECT_EQ(FileTransfer::sanitizedName("\n report.pdf \t"), "report.pdf");
    EXPECT_EQ(FileTransfer::sanitizedName(QString::fromUtf8("a\x01" "b\x7f" "c.txt")), "a-b-c.txt");
    EXPECT_EQ(FileTransfer::sanitizedName(QString("nul") + QChar(0) + ".txt"), "nul-.txt");

    // 300 characters keep their first 200; an extension beyond them is lost.
    const QString longAscii = QString(296, 'x') + ".txt";
    EXPECT_EQ(FileTransfer::sanitizedName(longAscii), QString(200, 'x'));
    // A character is what the user sees: a flag or a family emoji is one, never cut in half.
    const QString family = QString::fromUtf8("👨‍👩‍👧");
    QString emoji;
    for (int i = 0; i < 201; ++i)
        emoji += family;
    const QString cut = FileTransfer::sanitizedName(emoji);
    EXPECT_LE(cut.toUtf8().size(), FileTransfer::kMaxNameBytes);
    EXPECT_EQ(cut.size() % family.size(), 0);
    // Within 200 characters but over 240 bytes: the base is shortened, the extension kept.
    const QString wide = QString(150, QChar(0x6A94)) + ".jpeg";
    const QString shortened = FileTransfer::sanitizedName(wide);
    EXPECT_TRUE(shortened.endsWith(".jpeg"));
    EXPECT_LE(shortened.toUtf8().size(), FileTransfer::kMaxNameBytes);
    EXPECT_EQ(shortened, QString(78, QChar(0x6A94)) + ".jpeg");

    EXPECT_EQ(FileTransfer::candidateName("photo.jpg", 1), "photo.jpg");
    EXPECT_EQ(FileTransfer::candidateName("photo.jpg", 3), "photo 3.jpg");
    EXPECT_EQ(FileTransfer::candidateName("notes", 2), "notes 2");
    EXPECT_EQ(FileTransfer::candidateName("archive.tar.gz", 2), "archive.tar 2.gz");
}

TEST(FileTransferTest, ReceivesIntoFreeNamesAndNeverReplacesOrFollowsAnything)
{
    Rig rig;
    QDir().mkpath(rig.places.receiveFolder);
    for (const char* existing : { "photo.jpg", "photo 2.jpg" }) {
        QFile file(QDir(rig.places.receiveFolder).filePath(existing));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    // A link planted where the file would go points outside; it must be neither followed nor replaced.
    const QString outside = rig.dir.filePath("outside.txt");
    QFile(outside).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QFile::link(outside, QDir(rig.places.receiveFolder).filePath("a.txt")));

    rig.receive("photo.jpg", "jpeg bytes");
    rig.receive("notes", "one");
    rig.receive("notes", "two");
    rig.receive("a.txt", "not through the link");
    EXPECT_EQ(rig.stored(), (QStringList { "a 2.txt", "a.txt", "notes", "notes 2", "photo 2.jpg", "photo 3.jpg", "photo.jpg" }));
    EXPECT_EQ(rig.contents("photo 3.jpg"), "jpeg bytes");
    EXPECT_EQ(rig.contents("notes 2"), "two");
    EXPECT_EQ(rig.contents("a 2.txt"), "not through the link");
    EXPECT_EQ(QFile(outside).size(), 0);
    EXPECT_EQ(QFile(QDir(rig.places.receiveFolder).filePath("notes")).permissions() & QFile::WriteOther, 0);
    EXPECT_TRUE(waitFor([&] { return rig.received.size() == 4; }));
    EXPECT_EQ(rig.received, (QStringList { "photo 3.jpg", "notes", "notes 2", "a 2.txt" }));

    // Two phones sending "same.txt" at once: both files are kept, under two names.
    auto other = rig.make();
    rig.begin("same.txt", 3);
    other->handle(R"({"t":"begin","name":"same.txt","size":3})", false);
    rig.chunk("one");
    other->handle("two", true);
    rig.end();
    other->handle(R"({"t":"end"})", false);
    other->waitForPending();
    const QStringList stored = rig.stored();
    ASSERT_TRUE(stored.contains("same.txt") && stored.contains("same 2.txt"));
    EXPECT_EQ(QSet<QByteArray>({ rig.contents("same.txt"), rig.contents("same 2.txt") }), QSet<QByteArray>({ "one", "two" }));
}

TEST(FileTransferTest, OnlyCompleteTransfersWithinTheLimitsAreKept)
{
    Rig rig;
    // A half-received file is hidden, never under its own name.
    rig.begin("big.bin", 10);
    rig.chunk("12345");
    QStringList partial = rig.stored();
    ASSERT_EQ(partial.size(), 1);
    EXPECT_TRUE(partial[0].startsWith(".")) << partial[0].toStdString();

    // A new "begin" drops the unfinished one with its file, even when it is itself refused.
    rig.begin("too big.bin", FileTransfer::kMaxFileSize + 1);
    EXPECT_TRUE(rig.stored().isEmpty());
    rig.begin("at the limit.bin", FileTransfer::kMaxFileSize);
    EXPECT_EQ(rig.stored().size(), 1);
    rig.end(); // short: deleted
    EXPECT_TRUE(rig.stored().isEmpty());
    rig.begin("clip", FileTransfer::kMaxClipboardSize + 1, "clipboard");
    EXPECT_TRUE(rig.temporary().isEmpty());
    rig.begin("clip", FileTransfer::kMaxClipboardSize, "clipboard");
    EXPECT_EQ(rig.temporary().size(), 1);
    EXPECT_EQ(rig.temporary()[0].size(), 36) << "a bare UUID";

    // One byte too many ends it there; the "end" finds nothing.
    rig.begin("long.txt", 3);
    rig.chunk("ab");
    rig.chunk("cd");
    rig.end();
    EXPECT_TRUE(rig.stored().isEmpty());
    EXPECT_TRUE(rig.temporary().isEmpty());

    // No size, or not a whole number: size 0. An empty file is kept; any byte aborts.
    rig.text(R"({"t":"begin","name":"empty"})");
    rig.end();
    rig.text(R"({"t":"begin","name":"half","size":2.5})");
    rig.chunk("x");
    rig.end();
    rig.chunk("stray chunk");
    rig.text(R"({"t":"end"})");
    rig.text("not json");
    rig.text(R"({"t":5})");
    rig.text(R"(["begin"])");
    EXPECT_EQ(rig.stored(), QStringList { "empty" });

    // A clipboard transfer goes to the callback and leaves no file.
    rig.begin("ignored.png", 4, "clipboard");
    rig.chunk("\x89PNG");
    rig.end();
    EXPECT_TRUE(waitFor([&] { return rig.clipboard.size() == 1; }));
    EXPECT_EQ(rig.clipboard[0], QByteArray("\x89PNG"));
    EXPECT_TRUE(rig.temporary().isEmpty());
    EXPECT_EQ(rig.stored(), QStringList { "empty" });
    EXPECT_EQ(rig.received, QStringList { "empty" });
}

TEST(FileTransferTest, PartialFilesGoWhenThePhoneOrTheChannelGoesOrTheDiskFails)
{
    Rig rig;
    rig.begin("a.bin", 10);
    rig.chunk("12345");
    rig.files->cancelIncoming();
    rig.chunk("67890");
    rig.end();
    EXPECT_TRUE(rig.stored().isEmpty());

    rig.begin("b.bin", 10, "clipboard");
    rig.chunk("12345");
    rig.files.reset(); // the phone went away
    pump(50);
    EXPECT_TRUE(QDir(rig.places.temporaryFolder).entryList(QDir::Files | QDir::Hidden).isEmpty());

    // The disk fills up halfway: nothing is kept and nothing is announced.
    rig.files = rig.make();
    rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    const QByteArray half(48 * 1024, 'x');
    rig.begin("full.bin", 3 * half.size());
    rig.chunk(half);
    rig.chunk(half);
    rig.chunk(half);
    rig.end();
    const QStringList left = rig.stored();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(left.isEmpty()) << left.join(", ").toStdString();
    drainEvents();
    EXPECT_TRUE(rig.received.isEmpty());
}

TEST(FileTransferTest, SendsInChunksWithBeginAndEnd)
{
    Rig rig;
    auto channel = openChannel();
    QByteArray payload(40'000, 'p');
    payload[16'384] = 'q';
    rig.files->send(payload, "data.bin", "application/octet-stream", "clipboard", channel);
    rig.files->send({}, "empty.txt", "text/plain", "clipboard", channel);
    rig.files->send(QByteArray(FileTransfer::kMaxSendSize + 1, '\0'), "huge", "x/y", "clipboard", channel);
    rig.files->waitForPending();

    EXPECT_EQ(chunkSizes(*channel), (QList<qsizetype> { 16'384, 16'384, 7'232 }));
    QByteArray joined;
    for (const auto& sent : channel->sent())
        if (sent.binary)
            joined += sent.data;
    EXPECT_EQ(joined, payload);
    const auto texts = channel->sentText();
    ASSERT_EQ(texts.size(), 4);
    const auto begin = QJsonDocument::fromJson(texts[0]).object();
    EXPECT_EQ(begin.value("t"), "begin");
    EXPECT_EQ(begin.value("name"), "data.bin");
    EXPECT_EQ(begin.value("size"), 40'000);
    EXPECT_EQ(begin.value("mime"), "application/octet-stream");
    EXPECT_EQ(begin.value("kind"), "clipboard");
    const QString id = begin.value("id").toString();
    EXPECT_TRUE(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$").match(id).hasMatch()) << id.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(texts[1]).object(), (QJsonObject { { "t", "end" }, { "id", id } }));
    EXPECT_EQ(QJsonDocument::fromJson(texts[2]).object().value("size"), 0);
    EXPECT_EQ(QJsonDocument::fromJson(texts[3]).object().value("t"), "end");

    // A copied file is read as it goes, not before.
    const QString path = rig.dir.filePath("copied.bin");
    QFile copied(path);
    ASSERT_TRUE(copied.open(QIODevice::WriteOnly));
    copied.write(QByteArray(20'000, 'c'));
    copied.close();
    auto second = openChannel();
    rig.files->sendFile(UniqueFd(::open(QFile::encodeName(path).constData(), O_RDONLY)), "copied.bin", "x/y", "clipboard", second);
    rig.files->waitForPending();
    EXPECT_EQ(chunkSizes(*second), (QList<qsizetype> { 16'384, 3'616 }));
    EXPECT_EQ(second->sentText().size(), 2);
}

TEST(FileTransferTest, BackPressureWaitsWithoutHoldingUpReceivingAndEndsWhenTheChannelCloses)
{
    Rig rig;
    auto channel = openChannel();
    channel->setBufferedAmount(FileTransfer::kMaxBuffered + 1);
    rig.files->send(QByteArray(50'000, 'a'), "slow.bin", "x/y", "file", channel);
    // Two clipboard pushes queue behind it; only the newer is worth sending.
    rig.files->push("old image", "Clipboard Image.png", "image/png", "clipboard", channel);
    rig.files->push("new image", "Clipboard Image.png", "image/png", "clipboard", channel);
    rig.receive("meanwhile.txt", "arrives while the send waits");
    EXPECT_EQ(rig.stored(), QStringList { "meanwhile.txt" });
    EXPECT_EQ(channel->sentText().size(), 1);
    EXPECT_TRUE(chunkSizes(*channel).isEmpty());

    channel->setBufferedAmount(0);
    ASSERT_TRUE(waitFor([&] { return channel->sentText().size() == 4; }));
    EXPECT_EQ(chunkSizes(*channel), (QList<qsizetype> { 16'384, 16'384, 16'384, 848, 9 }));
    EXPECT_EQ(QJsonDocument::fromJson(channel->sent().last().data).object().value("t"), "end");
    EXPECT_EQ(channel->sent()[channel->sent().size() - 2].data, "new image");

    // A channel that closes while the sender waits ends the transfer: no "end", and the
    // next transfer is not held up.
    auto closing = openChannel();
    closing->setBufferedAmount(FileTransfer::kMaxBuffered + 1);
    rig.files->send(QByteArray(50'000, 'b'), "never.bin", "x/y", "file", closing);
    pump(30);
    closing->setState(rtc::DataChannelState::Closed);
    auto next = openChannel();
    rig.files->send("after", "next.txt", "text/plain", "file", next);
    ASSERT_TRUE(waitFor([&] { return next->sentText().size() == 2; }));
    EXPECT_EQ(closing->sentText().size(), 1);
    EXPECT_TRUE(chunkSizes(*closing).isEmpty());
}
