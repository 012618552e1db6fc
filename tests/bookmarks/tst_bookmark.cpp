#include "bookmarks/Bookmark.h"
#include "bookmarks/DataUrlImage.h"
#include "bookmarks/SharingData.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

QJsonObject json(const QString& text) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test JSON: %s", qPrintable(text));
    return doc.object();
}

QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage smallImage() {
    QImage image(3, 2, QImage::Format_ARGB32);
    image.fill(Qt::red);
    return image;
}

QString dataUrl(const QString& mediaType, const QByteArray& bytes) {
    return QStringLiteral("data:%1,%2").arg(mediaType, QString::fromLatin1(bytes.toBase64()));
}

} // namespace

class TestBookmark : public QObject {
    Q_OBJECT
private slots:
    void form_data();
    void form();
    void fields();
    void icon_data();
    void icon();
    void allTags();
    void availableTags_data();
    void availableTags();
    void equality();
    void fromVariant();
    void sharingData();
};

void TestBookmark::form_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QStringList>("form");
    QTest::newRow("one string") << R"({"form":"f1"})" << QStringList{"f1"};
    QTest::newRow("mixed array") << R"({"form":["a",3,"b"]})" << QStringList{"a", "", "b"};
    QTest::newRow("number") << R"({"form":4})" << QStringList{};
}

void TestBookmark::form() {
    QFETCH(QString, input);
    QFETCH(QStringList, form);
    QCOMPARE(Bookmark::fromJson(json(input)).form(), form);
}

void TestBookmark::fields() {
    const Bookmark b =
        Bookmark::fromJson(json(R"({"id":"b1","name":"N","command":"xterm","geometry":"rootless",
        "profile":"p","tags":["t1","t2"],"params":{"k":"v"},"type":"history","favorite":true})"));
    QVERIFY(b.isValid());
    QCOMPARE(b.id(), QString("b1"));
    QCOMPARE(b.name(), QString("N"));
    QCOMPARE(b.command(), QString("xterm"));
    QCOMPARE(b.geometry(), QString("rootless"));
    QCOMPARE(b.profile(), QString("p"));
    QCOMPARE(b.tags(), (QStringList{"t1", "t2"}));
    QCOMPARE(b.params().value("k").toString(), QString("v"));
    // Type and favourite are never read from the entry itself.
    QVERIFY(b.type().isEmpty());
    QVERIFY(!b.isFavorite());

    const Bookmark wrong = Bookmark::fromJson(json(R"({"id":1,"tags":"t","params":[1]})"));
    QVERIFY(!wrong.isValid());
    QVERIFY(wrong.tags().isEmpty());
    QVERIFY(wrong.params().isEmpty());
}

void TestBookmark::icon_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("decoded");
    const QByteArray png = encoded(smallImage(), "PNG");
    QTest::newRow("png") << dataUrl("image/png;base64", png) << true;
    QTest::newRow("jpeg media type") << dataUrl("image/jpeg;base64", encoded(smallImage(), "JPEG")) << false;
    QTest::newRow("jpeg data labelled png")
        << dataUrl("image/png;base64", encoded(smallImage(), "JPEG")) << false;
    QTest::newRow("gif data labelled png")
        << dataUrl("image/png;base64", encoded(smallImage(), "GIF")) << false;
    QTest::newRow("png undecodable") << dataUrl("image/png;base64", QByteArray("not an image")) << false;
    QTest::newRow("no comma") << QString("data:image/png;base64") << false;
    QTest::newRow("media type case") << dataUrl("image/PNG;base64", png) << false;
    QTest::newRow("file url") << QString("file:///tmp/icon.png") << false;
    // A picture above the pixel cap is refused before it is decoded.
    QImage huge(6000, 6000, QImage::Format_Mono);
    huge.fill(0);
    QTest::newRow("above pixel cap") << dataUrl("image/png;base64", encoded(huge, "PNG")) << false;
}

void TestBookmark::icon() {
    QFETCH(QString, url);
    QFETCH(bool, decoded);
    QJsonObject o;
    o.insert("id", "x");
    o.insert("icon", url);
    const QImage icon = Bookmark::fromJson(o).icon();
    QCOMPARE(!icon.isNull(), decoded);
    if (decoded)
        QCOMPARE(icon.size(), QSize(3, 2));
}

void TestBookmark::allTags() {
    Bookmark b = Bookmark::fromJson(json(R"({"id":"s","tags":["b","a"]})"));
    b.setType(SuggestionType);
    b.setFavorite(true);
    QCOMPARE(b.allTags(), (QStringList{"b", "a", "Global Bookmarks", "Favorites", "All Bookmarks"}));
    b.setType(BookmarkType);
    b.setFavorite(false);
    QCOMPARE(b.allTags(), (QStringList{"b", "a", "My Bookmarks", "All Bookmarks"}));
    b.setType(HistoryType);
    QCOMPARE(b.allTags(), (QStringList{"b", "a", "All Bookmarks"}));
}

void TestBookmark::availableTags_data() {
    // Each entry carries its type and favourite flag as the list parser would set them.
    QTest::addColumn<QString>("bookmarks");
    QTest::addColumn<QString>("hidden");
    QTest::addColumn<QStringList>("tags");
    QTest::newRow("nothing") << "[]"
                             << "[]" << QStringList{"All Bookmarks"};
    QTest::newRow("nothing, all hidden") << "[]"
                                         << "[\"all\"]" << QStringList();
    QTest::newRow("case order, empty tag, system hidden")
        << R"([{"id":"u","type":"bookmark","tags":["zeta","","Alpha"]},{"id":"s","type":"suggestion"}])"
        << "[\"system\"]" << QStringList{"Alpha", "zeta", "My Bookmarks", "All Bookmarks"};
    QTest::newRow("categories in their order")
        << R"([{"id":"u","type":"bookmark"},{"id":"s","type":"suggestion","tags":["b"]}])"
        << "[]" << QStringList{"b", "Global Bookmarks", "My Bookmarks", "All Bookmarks"};
    QTest::newRow("favourites sort among the own tags, shared tags once")
        << R"([{"id":"s","type":"suggestion","favorite":true,"tags":["Games","x"]},
               {"id":"h","type":"history","tags":["x","Apps"]}])"
        << R"(["all","system"])" << QStringList{"Apps", "Favorites", "Games", "x"};
    QTest::newRow("a category name as an own tag is still placed as a category")
        << R"([{"id":"h","type":"history","tags":["My Bookmarks","All Bookmarks"]}])"
        << "[]" << QStringList{"My Bookmarks", "All Bookmarks"};
}

void TestBookmark::availableTags() {
    QFETCH(QString, bookmarks);
    QFETCH(QString, hidden);
    QFETCH(QStringList, tags);
    QList<Bookmark> list;
    for (const QJsonValue& entry : QJsonDocument::fromJson(bookmarks.toUtf8()).array()) {
        const QJsonObject o = entry.toObject();
        Bookmark b = Bookmark::fromJson(o);
        b.setType(o.value("type").toString());
        b.setFavorite(o.value("favorite").toBool());
        list.append(b);
    }
    QCOMPARE(Bookmark::availableTags(list, QJsonDocument::fromJson(hidden.toUtf8()).array()), tags);
}

void TestBookmark::equality() {
    const Bookmark a = Bookmark::fromJson(json(R"({"id":"x","params":{"k":1}})"));
    Bookmark b = Bookmark::fromJson(json(R"({"id":"x","params":{"k":2}})"));
    QVERIFY(a == b);
    // The favourite flag takes part through the category tags.
    b.setFavorite(true);
    QVERIFY(a != b);
}

void TestBookmark::fromVariant() {
    const Bookmark b = Bookmark::fromJson(json(R"({"id":"v"})"));
    QCOMPARE(Bookmark::fromVariant(QVariant::fromValue(b)).id(), QString("v"));
    QVERIFY(!Bookmark::fromVariant(QVariant(5)).isValid());
}

void TestBookmark::sharingData() {
    const SharingData d = SharingData::fromJson(json(R"({"users":[{"name":"ann","role":"viewer"},
        {"role":"lobby"},7],"groups":[{"name":"g","role":1}],"sharingKey":"k",
        "public":{"visibility":"","role":"viewer"}})"));
    QCOMPARE(d.users.size(), 3);
    QCOMPARE(d.users[0], (ShareMember{"ann", "viewer"}));
    // Members without a name and non-objects stay in the list.
    QCOMPARE(d.users[1], (ShareMember{"", "lobby"}));
    QCOMPARE(d.users[2], (ShareMember{"", ""}));
    QCOMPARE(d.groups.size(), 1);
    QCOMPARE(d.groups[0], (ShareMember{"g", ""}));
    QCOMPARE(d.sharingKey, QString("k"));
    QVERIFY(!d.publicEnabled);
    QCOMPARE(d.publicRole, QString("viewer"));

    const SharingData e = SharingData::fromJson(json(R"({"users":5,"public":{"visibility":"public"}})"));
    QVERIFY(e.users.isEmpty());
    QVERIFY(e.publicEnabled);
    QVERIFY(e.sharingKey.isEmpty());
}

QTEST_GUILESS_MAIN(TestBookmark)
#include "tst_bookmark.moc"
