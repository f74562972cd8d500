// The composer: an HTML mail composer that sends through postwing.
//
//   postwing-composer [--demo] [--attach FILE]... [--screenshot PNG] [mailto:LINK]
//
// --demo fills in a sample message and --attach adds files to it; --screenshot writes a
// picture of the main window once it is laid out and quits (COMPOSER_SCREENSHOT=PNG
// does the same). A mailto: link, as the desktop passes it, fills in the addresses, the
// subject and the body.
#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QPainter>
#include <QTextDocument>
#include <QTimer>

#include <cstdio>
#include <optional>

#include <postwing/postwing.hpp>

#include "frm_send_mail.hpp"
#include "html_editor.hpp"
#include "mailto.hpp"
#include "qt_event_loop.hpp"
#include "send_controller.hpp"
#include "svg_icon.hpp"

namespace {

const char* kDemoBody = R"(<h2>Quarterly figures</h2>
<p>Hello Jane,</p>
<p>please find attached the <b>quarterly report</b> and the spreadsheet with the raw
numbers. The summary:</p>
<ul><li>Revenue up <b>12%</b> on the previous quarter</li>
<li>Two new customers in the <i>north region</i></li>
<li>Support tickets down by a third</li></ul>
<p>Let me know if anything is unclear.</p>
<p>Best regards,<br/>Tom</p>)";

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("composer");
  // No display name: Qt would add it to the title the window sets.
  // The desktop entry's name, so a Wayland compositor shows the entry's icon.
  QGuiApplication::setDesktopFileName("org.postwing.composer");
  QApplication::setWindowIcon(composer::SvgIcon(":/icons/send.svg"));

  QCommandLineParser parser;
  parser.setApplicationDescription("An HTML mail composer that sends through postwing.");
  parser.addHelpOption();
  QCommandLineOption demo("demo", "Fill in a sample message.");
  QCommandLineOption attach("attach", "Attach a file (repeatable).", "file");
  QCommandLineOption screenshot("screenshot", "Write a PNG of the main window and quit.", "png");
  parser.addOptions({demo, attach, screenshot});
  parser.addPositionalArgument("mailto:LINK", "A new message from a mailto: link (RFC 6068).",
                               "[mailto:LINK]");
  parser.process(app);
  std::optional<composer::MailtoLink> link;
  const QStringList arguments = parser.positionalArguments();
  if (!arguments.isEmpty()) link = composer::ParseMailto(arguments.first());
  if (arguments.size() > 1 || (!arguments.isEmpty() && !link)) {
    std::fprintf(stderr, "postwing-composer: expected one mailto: link, got '%s'\n",
                 qPrintable(arguments.join("' '")));
    return 2;
  }

  auto loop = composer::QtEventLoop::InstallForThisThread();
  int status = 0;
  {
    frmSendMail window;
    window.Form_Load();
    if (parser.isSet(demo)) {
      window.SetFields("Jane Doe <jane.doe@example.org>", "accounts@example.org", "",
                       "Quarterly report, third quarter");
      window.Editor()->SetDocumentHTML(kDemoBody);
      // A small chart, as a picture pasted into the text.
      QImage chart(240, 110, QImage::Format_RGB32);
      chart.fill(Qt::white);
      QPainter p(&chart);
      const int heights[] = {40, 55, 48, 70, 86};
      for (int i = 0; i < 5; ++i) {
        p.fillRect(20 + i * 44, 100 - heights[i], 30, heights[i], QColor(0x1e, 0x88, 0xe5));
      }
      p.setPen(Qt::gray);
      p.drawLine(10, 100, 230, 100);
      p.end();
      QTextCursor at = window.Editor()->document()->find("Let me know");
      at.movePosition(QTextCursor::StartOfBlock);
      window.Editor()->setTextCursor(at);
      window.Editor()->InsertImageData(chart);
      window.Editor()->textCursor().insertBlock();
      window.Editor()->document()->setModified(false);
    }
    if (link) {
      window.SetFields(link->to, link->cc, link->bcc, link->subject);
      if (!link->body.isEmpty()) {
        window.Editor()->SetDocumentHTML(Qt::convertFromPlainText(link->body));
        window.Editor()->document()->setModified(false);
      }
    }
    for (const QString& file : parser.values(attach)) {
      composer::AttachFile(*window.Attachments(), file);
    }
    window.UpdateAttachments();
    window.Form_Resize();

    QString png = parser.value(screenshot);
    if (png.isEmpty()) png = qEnvironmentVariable("COMPOSER_SCREENSHOT");
    if (!png.isEmpty()) {
      QTimer::singleShot(800, &window, [&window, png] {
        window.activateWindow();
        window.Editor()->setFocus();
        // The cursor in the bold words of the sample, so the latched state shows.
        QTextCursor cursor = window.Editor()->document()->find("quarterly report");
        if (!cursor.isNull()) cursor.setPosition(cursor.position() - 3);
        window.Editor()->setTextCursor(cursor.isNull() ? QTextCursor(window.Editor()->document())
                                                       : cursor);
        QApplication::processEvents();
        // Without a window manager the window may never become active: show the
        // editor as a click into it would.
        window.ShowEditorActive();
        QApplication::processEvents();
        const bool ok = window.grab().save(png, "PNG");
        std::fprintf(stderr, ok ? "composer: wrote %s\n" : "composer: cannot write %s\n",
                     qPrintable(png));
        window.Editor()->document()->setModified(false);
        QApplication::exit(ok ? 0 : 1);
      });
    }
    status = QApplication::exec();
  }
  postwing::SetThreadEventLoop(nullptr);
  return status;
}
