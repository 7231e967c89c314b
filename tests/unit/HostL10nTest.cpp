#include "OrbelHost/HostL10n.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#ifndef VELQUIN_SOURCE_DIR
#error "VELQUIN_SOURCE_DIR must point at the host source tree"
#endif

namespace {

const QStringList kLanguages = {QStringLiteral("en"), QStringLiteral("zh-Hans"), QStringLiteral("ja"),
                                QStringLiteral("ko")};

QString u(const char* utf8)
{
    return QString::fromUtf8(utf8);
}

QStringList placeholders(const QString& text)
{
    static const QRegularExpression re(QStringLiteral("%ld|%@"));
    QStringList found;
    for (auto it = re.globalMatch(text); it.hasNext();)
        found.append(it.next().captured(0));
    return found;
}

QString enOf(const char* key)
{
    return HostL10n::table().value(u(key)).value(QStringLiteral("en"));
}

} // namespace

TEST(HostL10nTest, TableHasAllKeysWithFourNonEmptyTranslations)
{
    const auto& keys = HostL10n::keys();
    const auto& table = HostL10n::table();
    ASSERT_EQ(keys.size(), 95);
    EXPECT_EQ(table.size(), 95) << "duplicate keys collapse in the hash";
    EXPECT_EQ(QSet<QString>(keys.begin(), keys.end()).size(), 95);

    for (const QString& key : keys) {
        SCOPED_TRACE(key.toStdString());
        EXPECT_FALSE(key.isEmpty());
        ASSERT_TRUE(table.contains(key));
        const auto& entry = table.value(key);
        EXPECT_EQ(entry.size(), 4);
        EXPECT_FALSE(entry.contains(QStringLiteral("zh-Hant")));
        for (const QString& lang : kLanguages) {
            ASSERT_TRUE(entry.contains(lang)) << lang.toStdString();
            EXPECT_FALSE(entry.value(lang).trimmed().isEmpty()) << lang.toStdString();
        }
    }

    EXPECT_EQ(keys.first(), u("Velquin 遠端桌面"));
    EXPECT_EQ(keys.last(), u("在這個 Wayland 桌面上，每次有手機連線，都要有人在電腦前同意分享螢幕。要無人值守地遠端，請改用 GNOME 或 X11 工作階段。"));
}

TEST(HostL10nTest, TranslationsKeepPlaceholdersInOrder)
{
    int withPlaceholders = 0;
    for (const QString& key : HostL10n::keys()) {
        const QStringList expected = placeholders(key);
        if (!expected.isEmpty())
            ++withPlaceholders;
        for (const QString& lang : kLanguages) {
            const QString text = HostL10n::table().value(key).value(lang);
            EXPECT_EQ(placeholders(text), expected)
                << "key: " << key.toStdString() << " lang: " << lang.toStdString() << " text: " << text.toStdString();
        }
    }
    // Guards the check itself: the table does contain placeholder rows.
    EXPECT_GE(withPlaceholders, 10);
}

TEST(HostL10nTest, EnglishRowsAreExact)
{
    EXPECT_EQ(enOf("Velquin 遠端桌面"), u("Velquin Remote Desktop"));
    EXPECT_EQ(enOf("正在遠端：%ld 支手機"), u("Remote session: %ld phone(s)"));
    EXPECT_EQ(enOf("設定…"), u("Settings…"));
    EXPECT_EQ(enOf("%ld～%ld 位數字"), u("%ld–%ld digits"));
    EXPECT_EQ(enOf("請設定 %ld～%ld 位數字"), u("Use %ld–%ld digits"));
    EXPECT_EQ(enOf("不是你本人的話，從選單列的「Velquin 遠端桌面」圖示按「中斷所有連線」。"),
              u("If this isn't you, click the \"Velquin Remote Desktop\" icon in the menu bar and choose "
                "\"Disconnect All\"."));
    EXPECT_EQ(enOf("%@（存在 家目錄／Velquin 收到的檔案）"),
              u("%@ (saved in the \"Velquin 收到的檔案\" folder in your home folder)"));
    EXPECT_EQ(enOf("沒有拿到 host_id"), u("No host_id received"));

    // The en dash in the digit range, byte for byte.
    EXPECT_EQ(enOf("%ld～%ld 位數字").toUtf8(), QByteArray("%ld\xE2\x80\x93%ld digits"));
}

TEST(HostL10nTest, ReceivedFolderNameStaysChineseEverywhere)
{
    const QString key = u("%@（存在 家目錄／Velquin 收到的檔案）");
    const QString folder = u("Velquin 收到的檔案");
    ASSERT_TRUE(HostL10n::table().contains(key));
    for (const QString& lang : kLanguages)
        EXPECT_TRUE(HostL10n::lookup(key, lang).contains(folder)) << lang.toStdString();
}

TEST(HostL10nTest, LanguageChoiceFollowsFirstPreferredLanguage)
{
    using HostL10n::languageFor;
    const QString hant = QStringLiteral("zh-Hant");
    const QString hans = QStringLiteral("zh-Hans");

    EXPECT_EQ(languageFor({QStringLiteral("zh-HK")}), hant);
    EXPECT_EQ(languageFor({QStringLiteral("zh-TW")}), hant);
    EXPECT_EQ(languageFor({QStringLiteral("zh")}), hant);
    EXPECT_EQ(languageFor({QStringLiteral("zh-Hant-TW")}), hant);
    EXPECT_EQ(languageFor({QStringLiteral("zh_TW")}), hant);

    EXPECT_EQ(languageFor({QStringLiteral("zh-Hans-CN")}), hans);
    EXPECT_EQ(languageFor({QStringLiteral("zh-Hans")}), hans);
    EXPECT_EQ(languageFor({QStringLiteral("zh-CN")}), hans);
    EXPECT_EQ(languageFor({QStringLiteral("zh-SG")}), hans);
    EXPECT_EQ(languageFor({QStringLiteral("zh_CN")}), hans);
    EXPECT_EQ(languageFor({QStringLiteral("ZH-CN")}), hans);

    EXPECT_EQ(languageFor({QStringLiteral("fr-FR")}), QStringLiteral("en"));
    EXPECT_EQ(languageFor({QStringLiteral("de")}), QStringLiteral("en"));
    EXPECT_EQ(languageFor({QStringLiteral("en-US")}), QStringLiteral("en"));
    EXPECT_EQ(languageFor({}), QStringLiteral("en"));
    EXPECT_EQ(languageFor({QString()}), QStringLiteral("en"));

    EXPECT_EQ(languageFor({QStringLiteral("ja-JP")}), QStringLiteral("ja"));
    EXPECT_EQ(languageFor({QStringLiteral("ja")}), QStringLiteral("ja"));
    EXPECT_EQ(languageFor({QStringLiteral("ko-KR")}), QStringLiteral("ko"));

    // Only the first entry counts.
    EXPECT_EQ(languageFor({QStringLiteral("fr-FR"), QStringLiteral("ja-JP")}), QStringLiteral("en"));
    EXPECT_EQ(languageFor({QStringLiteral("ko-KR"), QStringLiteral("zh-TW")}), QStringLiteral("ko"));
    EXPECT_EQ(languageFor({QStringLiteral("zh-CN"), QStringLiteral("zh-TW")}), hans);
    EXPECT_EQ(languageFor({QStringLiteral("zh-TW"), QStringLiteral("zh-CN")}), hant);

    // The process-wide choice is one of the five and stable.
    const QString lang = HostL10n::language();
    EXPECT_TRUE((QStringList{hant, hans, QStringLiteral("en"), QStringLiteral("ja"), QStringLiteral("ko")})
                    .contains(lang))
        << lang.toStdString();
    EXPECT_EQ(HostL10n::language(), lang);
    EXPECT_EQ(HL(u("取消")), HostL10n::lookup(u("取消"), lang));
}

TEST(HostL10nTest, LookupReturnsUnknownTextsAndTraditionalChineseUnchanged)
{
    const QString unknown = u("這句不在表裡 %ld");
    for (const QString& lang : kLanguages + QStringList{QStringLiteral("zh-Hant"), QStringLiteral("fr")})
        EXPECT_EQ(HostL10n::lookup(unknown, lang), unknown) << lang.toStdString();
    EXPECT_EQ(HostL10n::lookup(QString(), QStringLiteral("en")), QString());

    for (const QString& key : HostL10n::keys())
        EXPECT_EQ(HostL10n::lookup(key, QStringLiteral("zh-Hant")), key);

    // A language the table does not carry falls back to the key.
    EXPECT_EQ(HostL10n::lookup(u("取消"), QStringLiteral("fr")), u("取消"));

    EXPECT_EQ(HostL10n::lookup(u("取消"), QStringLiteral("en")), u("Cancel"));
    EXPECT_EQ(HostL10n::lookup(u("取消"), QStringLiteral("zh-Hans")), u("取消"));
    EXPECT_EQ(HostL10n::lookup(u("設定…"), QStringLiteral("zh-Hans")), u("设置…"));
}

TEST(HostL10nTest, TranslatesBeforeFormatting)
{
    const QString key = u("正在遠端：%ld 支手機");
    const QString en = HostL10n::lookup(key, QStringLiteral("en"));
    EXPECT_EQ(en, u("Remote session: %ld phone(s)"));
    EXPECT_EQ(HostL10n::formatPlaceholders(en, {2}), u("Remote session: 2 phone(s)"));

    // Formatting first would leave a text that is no longer a key.
    const QString formattedFirst = HostL10n::formatPlaceholders(key, {2});
    EXPECT_EQ(HostL10n::lookup(formattedFirst, QStringLiteral("en")), formattedFirst);

    EXPECT_EQ(HostL10n::formatPlaceholders(HostL10n::lookup(u("%ld～%ld 位數字"), QStringLiteral("en")), {4, 8}),
              u("4–8 digits"));
    EXPECT_EQ(HostL10n::formatPlaceholders(HostL10n::lookup(u("更新到 %@"), QStringLiteral("en")),
                                           {QStringLiteral("1.2.3")}),
              u("Update to 1.2.3"));

    // HLFormat agrees with lookup in the process language followed by formatting.
    const QString lang = HostL10n::language();
    EXPECT_EQ(HLFormat(key, {3}), HostL10n::formatPlaceholders(HostL10n::lookup(key, lang), {3}));
}

TEST(HostL10nTest, FormatPlaceholdersFillsInOrder)
{
    using HostL10n::formatPlaceholders;
    EXPECT_EQ(formatPlaceholders(u("%@ / %ld / %@"), {QStringLiteral("a"), 7, QStringLiteral("b")}), u("a / 7 / b"));
    EXPECT_EQ(formatPlaceholders(u("%ld"), {QVariant(qlonglong(-12345678901LL))}), u("-12345678901"));
    // An integer given as a string still formats as an integer.
    EXPECT_EQ(formatPlaceholders(u("%ld 次"), {QStringLiteral("5")}), u("5 次"));
    // Missing arguments leave their placeholders in place.
    EXPECT_EQ(formatPlaceholders(u("%ld～%ld"), {4}), u("4～%ld"));
    EXPECT_EQ(formatPlaceholders(u("版本 %@"), {}), u("版本 %@"));
    // Surplus arguments are ignored; a lone "%" is not a placeholder.
    EXPECT_EQ(formatPlaceholders(u("100% %@"), {QStringLiteral("x"), QStringLiteral("y")}), u("100% x"));
    EXPECT_EQ(formatPlaceholders(u("%d %@"), {QStringLiteral("x")}), u("%d x"));
    // Arguments are inserted verbatim, never expanded again.
    EXPECT_EQ(formatPlaceholders(u("%@ %@"), {QStringLiteral("%@"), QStringLiteral("z")}), u("%@ z"));
    EXPECT_EQ(formatPlaceholders(u("%@（存在 家目錄／Velquin 收到的檔案）"), {QStringLiteral("a.png")}),
              u("a.png（存在 家目錄／Velquin 收到的檔案）"));
}

TEST(HostL10nTest, EveryHLLiteralInTheSourcesIsAKey)
{
    // HL("…"), HLFormat("…", …) and their QStringLiteral forms.
    static const QRegularExpression callRe(
        QStringLiteral(R"re(\bHL(?:Format)?\(\s*(?:QStringLiteral\(\s*|QString::fromUtf8\(\s*|u8?)?"((?:[^"\\]|\\.)*)")re"));

    const QString root = QStringLiteral(VELQUIN_SOURCE_DIR);
    ASSERT_TRUE(QFileInfo(root).isDir()) << root.toStdString();

    const QSet<QString> keys(HostL10n::keys().begin(), HostL10n::keys().end());
    int files = 0;
    int literals = 0;
    QDirIterator it(root, {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        const QString source = QString::fromUtf8(file.readAll());
        ++files;
        for (auto m = callRe.globalMatch(source); m.hasNext();) {
            QString literal = m.next().captured(1);
            literal.replace(QStringLiteral("\\\""), QStringLiteral("\""));
            literal.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
            ++literals;
            EXPECT_TRUE(keys.contains(literal)) << path.toStdString() << ": " << literal.toStdString();
        }
    }
    EXPECT_GT(files, 0);
    RecordProperty("hl_literals", literals);
}
