// Sending from the window to SMTP servers started by the test on 127.0.0.1: the message
// as the server receives it (parsed by Python's email package), the progress and status
// texts, the first send opening the configuration window, failed sends that keep the
// message, the completion steps, and stopping or closing during a send.
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

#include "address_completer.hpp"
#include "composer_test_support.hpp"
#include "frm_configure.hpp"
#include "mod_email.hpp"

using composer_test::Child;
using composer_test::Composer;
using composer_test::LocalServer;
using namespace modEmail;

namespace {

// Sends here take well under a second; a failing wait costs three times this in Qt Test.
constexpr int kSendLimitMs = 30000;

QByteArray BinaryData() {
  QByteArray data;
  for (int i = 0; i < 70000; ++i) data.append(char((i * 7 + i / 256) & 0xFF));
  return data;
}

const QString kTo = "Jane Example <jane@example.org>, bob@example.org";
const QByteArray kNotes = "Notes line one\r\n\tindented line two\r\n.starts with a dot\r\n";

void Configure(int port, const QString& from = "tom@example.org") {
  for (const auto& [key, value] : {std::pair{kKeyServer, QString("127.0.0.1")},
                                   {kKeyPort, QString::number(port)},
                                   {kKeyUser, QString()},
                                   {kKeyPassword, QString()},
                                   {kKeyFromAddress, from},
                                   {kKeySecurity, QString("None")},
                                   {kKeyConfigured, QString("True")}}) {
    SaveSetting(key, value);
  }
}

// A server in this process that greets and then never answers: a send to it stays in progress.
struct SilentServer : QTcpServer {
  SilentServer() {
    listen(QHostAddress::LocalHost, 0);
    connect(this, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* s = nextPendingConnection()) s->write("220 silent\r\n");
    });
  }
};

}  // namespace

class SendTest : public composer_test::WindowFixture {
  Q_OBJECT

  // A message as a user writes it: addresses, subject, a list, a link, a pasted picture
  // and two attachments.
  void Fill(const Composer& w) {
    w->SetFields(kTo, "cc@example.org", "hidden@example.org", "Quarterly figures");
    w.dhtEdit->SetDocumentHTML(
        "<p>Hello <b>Jane</b>,</p><p>the figures are attached. Grüße, 5 €</p><ul><li>one</li></ul>"
        "<p><a href='https://example.org/q'>report</a></p>");
    // Typed by the user in a new paragraph: the document has changes.
    w.dhtEdit->moveCursor(QTextCursor::End);
    QTest::keyClick(w.dhtEdit, Qt::Key_Return);
    QTest::keyClicks(w.dhtEdit, "X");
    QImage red(4, 4, QImage::Format_RGB32);
    red.fill(Qt::red);
    QApplication::clipboard()->setImage(red);
    w->mnuEditPaste_Click();
    dialogs_->answers.push_back(
        QStringList{composer_test::WriteFile("outbox/report.bin", BinaryData()),
                    composer_test::WriteFile("outbox/notes.txt", kNotes)});
    w->Button("Attach File")->trigger();
    QCOMPARE(w.txtAttachments->text(), QString("report.bin; notes.txt; "));
  }

  // Checks the received message: fields, the HTML document and both attachments.
  void CheckDelivered(const LocalServer& server, int n) {
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(server.MessagePath(n)), 10000);
    QFile json(server.MessagePath(n, "json"));
    QVERIFY(json.open(QIODevice::ReadOnly));
    const QJsonObject envelope = QJsonDocument::fromJson(json.readAll()).object();
    QCOMPARE(envelope["mail_from"].toString(), QString("tom@example.org"));
    QCOMPARE(envelope["rcpt_tos"].toArray(), (QJsonArray{"jane@example.org", "bob@example.org",
                                                         "cc@example.org", "hidden@example.org"}));
    QJsonObject m = composer_test::ParseMessage(server.MessagePath(n));
    QVERIFY2(!m.isEmpty(), "the message parses");
    QJsonObject headers = m["headers"].toObject();
    QCOMPARE(headers["subject"].toString(), QString("Quarterly figures"));
    QVERIFY(!headers.contains("bcc"));
    QCOMPARE(
        m["types"].toArray(),
        (QJsonArray{"multipart/mixed", "multipart/related", "multipart/alternative", "text/plain",
                    "text/html", "image/png", "application/octet-stream", "text/plain"}));
    QJsonArray parts = m["parts"].toArray();
    auto data = [&](int i) {
      return QByteArray::fromBase64(parts[i].toObject()["data"].toString().toLatin1());
    };
    QCOMPARE(QString::fromUtf8(data(0)),
             QString::fromUtf8("Hello Jane,\nthe figures are attached. Grüße, 5 €\n"
                               "- one\nreport <https://example.org/q>\nX[image]\n"));
    const QString html = QString::fromUtf8(data(1));
    QCOMPARE(parts[1].toObject()["charset"].toString(), QString("utf-8"));
    QVERIFY2(html.contains("Jane</span>") && html.contains(QString::fromUtf8("Grüße, 5 €")),
             qPrintable(html));
    QVERIFY(!html.contains("-qt-") && !html.contains("qrichtext"));
    // The picture is an inline part that the HTML names by its Content-ID.
    QJsonObject image = parts[2].toObject();
    QCOMPARE(image["disposition"].toString(), QString("inline"));
    QVERIFY(html.contains("src=\"cid:" + image["content_id"].toString().mid(1).chopped(1)));
    QCOMPARE(QImage::fromData(data(2)).pixelColor(1, 1), QColor(Qt::red));
    QCOMPARE(parts[3].toObject()["filename"].toString(), QString("report.bin"));
    QCOMPARE(data(3), BinaryData());
    QCOMPARE(parts[4].toObject()["filename"].toString(), QString("notes.txt"));
    // Quoted-printable carries text: its line breaks come back as the parser's own.
    QCOMPARE(data(4), QByteArray(kNotes).replace("\r\n", "\n"));
  }

 private slots:
  // Unconfigured, the first send opens the configuration window. A send that fails keeps
  // the whole message; the next one delivers it and empties the window.
  void ARealSendDeliversTheMessageAndEmptiesTheWindow_data() {
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("message");
    QTest::newRow("first send") << ""
                                << "";
    QTest::newRow("refused recipient") << "refuse"
                                       << "550";
    QTest::newRow("no server") << "closed"
                               << "";
    QTest::newRow("no sender")
        << "sender"
        << "No sender address is set: enter yours under View > Configuration.";
  }
  void ARealSendDeliversTheMessageAndEmptiesTheWindow() {
    QFETCH(QString, failure);
    QFETCH(QString, message);
    auto refusing = LocalServer::Capture({"--refuse", "RCPT:*:550"});
    auto server = LocalServer::Capture();
    QVERIFY2(refusing && server, "the capture servers start");
    QTcpServer probe;  // a port nobody listens on: bound, then closed again
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const int closed = probe.serverPort();
    probe.close();
    QFile::remove(SettingsFileName());
    if (failure == "refuse") Configure(refusing->Port());
    if (failure == "closed") Configure(closed);
    if (failure == "sender") Configure(server->Port(), "");
    Composer w = Open();
    Fill(w);
    if (!failure.isEmpty()) {
      const QString document = w.dhtEdit->DocumentHTML();
      w->Button("Send")->trigger();
      QTRY_VERIFY_WITH_TIMEOUT(!dialogs_->messages.empty() && !w->Sending(), kSendLimitMs);
      QCOMPARE(dialogs_->messages[0].title, QString("Error Message"));
      QVERIFY2(dialogs_->messages[0].text.startsWith(message),
               qPrintable(dialogs_->messages[0].text));
      QCOMPARE(w->PanelText("Status"), QString("Not sent"));
      // Nothing of the message is lost.
      QCOMPARE(
          (QStringList{w.txtTo->text(), w.txtCC->text(), w.txtBCC->text(), w.txtSubject->text()}),
          (QStringList{kTo, "cc@example.org", "hidden@example.org", "Quarterly figures"}));
      QVERIFY(w.dhtEdit->DocumentHTML() == document && w.dhtEdit->IsDirty());
      QCOMPARE(w.txtAttachments->text(), QString("report.bin; notes.txt; "));
      QVERIFY(w->Button("Send")->isEnabled());
      QVERIFY(!QFile::exists(refusing->MessagePath(1)));
      dialogs_->messages.clear();
      Configure(server->Port());
    }
    dialogs_->exec = [&](QDialog& d) {
      Child<QLineEdit>(d, "txtSMTPServer")->setText("127.0.0.1");
      Child<QLineEdit>(d, "txtSMTPServerPort")->setText(QString::number(server->Port()));
      Child<QLineEdit>(d, "txtFromAddress")->setText("tom@example.org");
      static_cast<frmConfigure&>(d).cmdSave_Click();
      return d.result();
    };
    QStringList statuses;
    QList<int> percents;
    int64_t reported = 0;
    auto watch = w->Mail()->OnSendProgress([&](int32_t& bytes, int32_t&) {
      reported += bytes;
      statuses << w->PanelText("Status");  // the window's handler came first
      percents << w->PanelText("Progress").remove('%').toInt();
    });
    w->Button("Send")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(w->PanelText("Status"), QString("Complete"), kSendLimitMs);
    watch.Disconnect();
    QCOMPARE(dialogs_->execs, failure.isEmpty() ? 1 : 0);
    QVERIFY2(dialogs_->messages.empty(),
             dialogs_->messages.empty() ? "" : qPrintable(dialogs_->messages[0].text));
    QVERIFY2(!statuses.isEmpty() && std::is_sorted(percents.begin(), percents.end()),
             "the progress never goes back");
    QCOMPARE(statuses.back(), QString("Sending - Bytes Sent: %1").arg(reported));
    // The completion steps.
    QVERIFY(!w->Sending() && w->PanelText("Progress").isEmpty());
    for (QLineEdit* box : {w.txtTo, w.txtCC, w.txtBCC, w.txtSubject, w.txtAttachments})
      QCOMPARE(box->text(), QString());
    QVERIFY(!w.txtAttachments->isVisibleTo(&w.window) && w->Attachments()->Count() == 0);
    QVERIFY(w.dhtEdit->toPlainText().isEmpty() && !w.dhtEdit->IsDirty());
    QCOMPARE(w->windowTitle(), QString("Unnamed.html - Message (HTML)"));
    QVERIFY(!w->Button("Send")->isEnabled());
    QCOMPARE(w.dhtEdit->document()->documentMargin(), 6.0);  // the margin is kept
    CheckDelivered(*server, 1);
    // The addresses are offered for completion, newest first, after what is typed already.
    auto* completer = static_cast<composer::AddressCompleter*>(w.txtCC->completer());
    QCOMPARE(composer::RecentAddresses(), completer->Addresses());
    QCOMPARE(completer->Addresses().mid(0, 2),
             (QStringList{"Jane Example <jane@example.org>", "bob@example.org"}));
    w.txtCC->setText("x@example.org; bo");
    QCOMPARE(completer->pathFromIndex(completer->model()->index(1, 0)),
             QString("x@example.org; bob@example.org"));
  }

  // A send that stays in progress: the Security setting reached the SendMail, Stop ends it
  // and keeps the message, and closing asks first.
  void StoppingOrClosingDuringASend() {
    SilentServer silent;
    Configure(silent.serverPort());
    SaveSetting(kKeySecurity, "STARTTLS");
    Composer w = Open();
    Fill(w);
    w->Button("Send")->trigger();
    QCOMPARE(w->Mail()->Security(), postwing::emxStartTLS);
    QVERIFY(w->Sending() && w->Button("Stop")->isEnabled());
    QVERIFY(!w->Button("Send")->isEnabled());  // one message at a time
    w->Button("Stop")->trigger();              // the send ends cleanly; the message stays
    QVERIFY(!w->Sending() && !w->Button("Stop")->isEnabled());
    QCOMPARE(w->PanelText("Status"), QString("Not sent"));
    QCOMPARE(w.txtTo->text(), kTo);
    // A stored value that names no choice stops the send before anything goes out in clear.
    SaveSetting(kKeySecurity, "SSL please");
    w->Button("Send")->trigger();
    QVERIFY(dialogs_->messages.size() == 1 && dialogs_->messages[0].text.contains("Security"));
    QVERIFY(!w->Sending());
    // Closing during a send: No keeps the window and the transfer.
    SaveSetting(kKeySecurity, "None");
    w->Button("Send")->trigger();
    QVERIFY(w->Sending());
    dialogs_->answers.push_back(composer::vbNo);
    QVERIFY(!w->close());
    QCOMPARE(dialogs_->messages.back().text,
             QString("An E-mail is in progress... cancel and quit anyway"));
    QCOMPARE(dialogs_->messages.back().title, QString("Warning / Confirmation Message"));
    QVERIFY(w->isVisible() && w->Sending());
    // Yes: the transfer is cancelled; the unsent message is still there, so the
    // unsaved-changes question follows; Cancel keeps the window open.
    dialogs_->answers = {composer::vbYes, composer::vbCancel};
    QVERIFY(!w->close());
    QVERIFY(!w->Sending());
    QCOMPARE(w->PanelText("Status"), QString("Not sent"));
    QCOMPARE(dialogs_->messages.back().text, QString("Do you want to save these changes?"));
    QCOMPARE(w->Attachments()->Count(), 2);
    // Closing again asks only about the changes.
    const size_t asked = dialogs_->messages.size();
    dialogs_->answers.push_back(composer::vbNo);
    QVERIFY(w->close());
    QCOMPARE(dialogs_->messages.size(), asked + 1);
  }
};

QTEST_MAIN(SendTest)
#include "send_test.moc"
