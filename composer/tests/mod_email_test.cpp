// modEmail: paths, colours, padding, conversions, temporary files and the settings store.
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <functional>
#include <utility>

#include <sys/stat.h>

#include <postwing/exception.hpp>

#include "composer_test_support.hpp"
#include "mod_email.hpp"

using namespace modEmail;

class ModEmailTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { composer_test::IsolateHome(); }

 private slots:
  void FileAndFolderParts_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("folder");
    const char* rows[][3] = {
        {"/home/u/.local/share/composer/drafts/Unnamed.html", "Unnamed.html",
         "/home/u/.local/share/composer/drafts/"},
        {"C:\\mail\\drafts\\Unnamed.html", "Unnamed.html", "C:\\mail\\drafts\\"},
        {"Unnamed.html", "", ""},
        {"/home/u/", "", "/home/u/"},
        {"/home/u/  name.html  ", "name.html", "/home/u/"},
        {"/x/stream:part.txt", "part.txt", "/x/"},
        {"/file.txt", "file.txt", "/"}};
    for (const auto& r : rows)
      QTest::newRow(r[0]) << QString(r[0]) << QString(r[1]) << QString(r[2]);
  }
  void FileAndFolderParts() {
    QFETCH(QString, path);
    QFETCH(QString, file);
    QFETCH(QString, folder);
    QCOMPARE(FileNamePart(path), file);
    QCOMPARE(FolderPart(path), folder);
  }

  void ColorToHtml_data() {
    QTest::addColumn<int>("colour");
    QTest::addColumn<QString>("html");
    QTest::newRow("black") << 0 << "000000";
    QTest::newRow("white") << 0xFFFFFF << "FFFFFF";
    QTest::newRow("blue") << 0xFF0000 << "0000FF";
    QTest::newRow("small parts padded") << (1 | 2 << 8 | 10 << 16) << "01020A";
    QTest::newRow("high byte ignored") << int(0xFF123456u) << "563412";
  }
  void ColorToHtml() {
    QFETCH(int, colour);
    QFETCH(QString, html);
    QCOMPARE(modEmail::ColorToHtml(colour), html);
  }

  void TextToBoolean() {
    for (const char* yes : {"True", "true", "-1", " 2 "}) QVERIFY(modEmail::TextToBoolean(yes));
    for (const char* no : {"False", "0"}) QVERIFY(!modEmail::TextToBoolean(no));
  }

  // Text the conversions cannot take is an error of the runtime's number, never a guess.
  void BadTextIsAnError() {
    const std::pair<std::function<void()>, int> rows[] = {
        {[] { modEmail::PadLeft("abcd", 3, "0"); }, 5},
        {[] { modEmail::TextToBoolean("Yes please"); }, 13},
        {[] { LeadingNumberToLong("99999999999"); }, 6}};
    for (const auto& [convert, number] : rows) {
      try {
        convert();
        QFAIL("converted");
      } catch (const postwing::Exception& e) {
        QCOMPARE(e.Number(), number);
      }
    }
    QCOMPARE(modEmail::PadLeft("7", 3, "0x"), QString("007"));
  }

  void LeadingNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number");
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("port") << "2525" << 2525;
    QTest::newRow("blanks") << "  587  " << 587;
    QTest::newRow("letters after") << "25abc" << 25;
    QTest::newRow("letters only") << "smtp" << 0;
    QTest::newRow("half to even down") << "24.5" << 24;
    QTest::newRow("half to even up") << "25.5" << 26;
    QTest::newRow("exponent") << "2.5e2" << 250;
  }
  void LeadingNumber() {
    QFETCH(QString, text);
    QFETCH(int, number);
    QCOMPARE(LeadingNumberToLong(text), number);
  }
  void Security() {
    QCOMPARE(SecurityFromText(""), postwing::emxNoSecurity);
    QCOMPARE(SecurityFromText("None"), postwing::emxNoSecurity);
    QCOMPARE(SecurityFromText("STARTTLS"), postwing::emxStartTLS);
    QCOMPARE(SecurityFromText("starttls"), postwing::emxStartTLS);
    QCOMPARE(SecurityFromText("TLS"), postwing::emxImplicitTLS);
    QCOMPARE(SecurityFromText("2"), postwing::emxImplicitTLS);
    QVERIFY_THROWS_EXCEPTION(postwing::Exception, SecurityFromText("SSL maybe"));
    for (auto v : {postwing::emxNoSecurity, postwing::emxStartTLS, postwing::emxImplicitTLS}) {
      QCOMPARE(SecurityFromText(SecurityToText(v)), v);
    }
  }

  void TempFiles() {
    const QString dir = TempPath();
    QVERIFY(dir.endsWith('/'));
    QCOMPARE(dir, composer_test::HomeRoot() + "/tmp/");
    const QString a = TempFileName(), b = TempFileName();
    QVERIFY(a != b);
    QVERIFY(QFileInfo(a).fileName().startsWith("~pw"));
    QCOMPARE(QFileInfo(a).size(), 0);
    QCOMPARE(FolderPart(a), dir);
    QFile::remove(a);
    QFile::remove(b);
  }
  void SettingsRoundTripAndPrivateFile() {
    QCOMPARE(GetSetting("User", "nobody"), QString("nobody"));
    SaveSetting(kKeyPassword, "s3cret; with = signs");
    SaveSetting(kKeyServer, "mail.example.org");
    QCOMPARE(GetSetting(kKeyPassword, ""), QString("s3cret; with = signs"));
    QCOMPARE(GetSetting(kKeyServer, ""), QString("mail.example.org"));
    const QString file = SettingsFileName();
    QCOMPARE(file, composer_test::HomeRoot() + "/config/composer/composer.conf");
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    // An older file readable by others is tightened at the next write.
    ::chmod(QFile::encodeName(file).constData(), 0644);
    SaveSetting(kKeyUser, "someone");
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().contains("[Configuration]"));
  }
};

QTEST_MAIN(ModEmailTest)
#include "mod_email_test.moc"
