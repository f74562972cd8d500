// modEmail: paths, colours, padding, conversions, temporary files and the settings store.
#include <QFile>
#include <QFileInfo>
#include <QTest>

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
  void AddBackslash_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    const std::pair<const char*, const char*> rows[] = {{"/", "/"},
                                                        {"/home/mail", "/home/mail/"},
                                                        {"/home/mail/", "/home/mail/"},
                                                        {"", "/"},
                                                        {"C:\\mail\\", "C:\\mail\\"}};
    for (const auto& [path, expected] : rows)
      QTest::newRow(path) << QString(path) << QString(expected);
  }
  void AddBackslash() {
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(modEmail::AddBackslash(path), expected);
  }

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

  void PadLeft() {
    QCOMPARE(modEmail::PadLeft("7", 3, "0x"), QString("007"));
    QCOMPARE(modEmail::PadLeft("abc", 3, "0"), QString("abc"));
    try {
      modEmail::PadLeft("abcd", 3, "0");
      QFAIL("a text longer than the width is an error");
    } catch (const postwing::Exception& e) {
      QCOMPARE(e.Number(), 5);
    }
  }

  void TextToBoolean() {
    QVERIFY(modEmail::TextToBoolean("True"));
    QVERIFY(modEmail::TextToBoolean("true"));
    QVERIFY(!modEmail::TextToBoolean("False"));
    QVERIFY(!modEmail::TextToBoolean("0"));
    QVERIFY(modEmail::TextToBoolean("-1"));
    QVERIFY(modEmail::TextToBoolean(" 2 "));
    try {
      modEmail::TextToBoolean("Yes please");
      QFAIL("a text that is neither a Boolean word nor a number cannot be converted");
    } catch (const postwing::Exception& e) {
      QCOMPARE(e.Number(), 13);
    }
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
  void LeadingNumberOverflow() {
    try {
      LeadingNumberToLong("99999999999");
      QFAIL("beyond 32 bits is an overflow");
    } catch (const postwing::Exception& e) {
      QCOMPARE(e.Number(), 6);
    }
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
  void TempFilesFailWithTheirTexts() {
    const QByteArray saved = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/nonexistent/composer-test");
    try {
      TempFileName();
      QFAIL("a missing temporary folder is an error");
    } catch (const postwing::Exception& e) {
      QCOMPARE(QString::fromStdString(e.Source()), QString("postWing"));
      QCOMPARE(QString::fromStdString(e.Description()), QString("Error determining TempPath"));
      QVERIFY(e.Number() != 0);
    }
    qputenv("TMPDIR", saved);
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
