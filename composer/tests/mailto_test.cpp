// mailto: links as a desktop passes them: percent-decoding, lists, and fields that must
// stay on one line.
#include <QTest>

#include "mailto.hpp"

class MailtoTest : public QObject {
  Q_OBJECT
 private slots:
  void Parse_data() {
    QTest::addColumn<QString>("link");
    QTest::addColumn<QStringList>("fields");  // to, cc, bcc, subject, body
    QTest::newRow("address only") << "mailto:ann@example.org"
                                  << QStringList{"ann@example.org", "", "", "", ""};
    QTest::newRow("all fields, any case, UTF-8")
        << "MAILTO:ann@example.org,bob@example.org?Subject=Caf%C3%A9%20at%203&body=Line "
           "1%0D%0ALine+2&cc=carol@example.org&bcc=dave@example.org&to=eve@example.org"
        << QStringList{"ann@example.org; bob@example.org; eve@example.org", "carol@example.org",
                       "dave@example.org", "Caf\u00e9 at 3", "Line 1\nLine+2"};
    QTest::newRow("no path, encoded separators, bad escape kept")
        << "mailto:?to=ann%40example.org%2Cbob@example.org&subject=100%&x-other=1"
        << QStringList{"ann@example.org; bob@example.org", "", "", "100%", ""};
    QTest::newRow("line breaks cannot add a header")
        << "mailto:ann@example.org%0D%0ABcc:%20x@example.org?subject=Hi%0D%0ABcc:%20y@example.org"
        << QStringList{"ann@example.org Bcc: x@example.org", "", "", "Hi Bcc: y@example.org", ""};
  }
  void Parse() {
    QFETCH(QString, link);
    QFETCH(QStringList, fields);
    const auto m = composer::ParseMailto(link);
    QVERIFY(m.has_value());
    QCOMPARE((QStringList{m->to, m->cc, m->bcc, m->subject, m->body}), fields);
  }
  void NotALink() {
    QVERIFY(!composer::ParseMailto("ann@example.org"));
    QVERIFY(!composer::ParseMailto("http://example.org/?mailto:ann@example.org"));
  }
};

QTEST_MAIN(MailtoTest)
#include "mailto_test.moc"
