// The data's transparency, and message assembly from a real SendMail's model into a sink that
// keeps the wire: what only the writer decides (encodings a content forces, boundaries,
// transparency, raw mode, failures and cancels part-way). Whole messages are read back by two
// parsers in the e2e suites.
#include "assembly/message_assembly.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "postwing/postwing.hpp"
#include "session/message_source.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace postwing;
using namespace postwing::assembly;

// Keeps the wire and the status lines; a hook sees each notice and piece as it is written.
struct Sink : DataSink {
  std::string wire;
  std::vector<std::string> status;
  bool stopped = false;
  std::function<void(Sink&, const std::string&)> on_write;
  void Notice(std::string text) override {
    status.push_back(text);
    if (on_write) on_write(*this, text);
  }
  void WritePiece(std::string piece, const std::string& status_text) override {
    status.push_back(">>" + (status_text.empty() ? piece : status_text) + "\r\n");
    wire += piece + "\r\n";
    if (on_write) on_write(*this, piece);
  }
  void WriteEndOfData() override { wire += ".\r\n"; }
  bool Stopped() override { return stopped; }
};

TEST(DataWriter, PiecesAreMadeTransparentAndEndTheirLineOnce) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"plain", "plain"}, {"a\r\nb\r\n", "a\r\nb\r\n"}, {"..x", "...x"},
      {".", ".."}, {"a\r\n.\r\nb", "a\r\n..\r\nb"},  // a lone dot cannot end the data
      {"a.b\r\n", "a.b\r\n"}, {"ab\r\ncd\r\n.e", "ab\r\ncd\r\n..e"},  // leading dots only
      {"a\nb", "a\r\nb"}, {"a\rb", "a\r\nb"}, {"a\r", "a\r\n"}, {"\n", "\r\n"},  // bare LF, CR
      {"a\r\r\nb", "a\r\n\r\nb"}, {"a\n.\nb", "a\r\n..\r\nb"}, {"x\r.\r", "x\r\n..\r\n"},
      {"x\r\n\n.\r\n", "x\r\n\r\n..\r\n"},  // SMTP smuggling: <LF>.<CR><LF>
      {"x\n.\r\n", "x\r\n..\r\n"}, {"x\r\n.\n", "x\r\n..\r\n"},
      {std::string("nul\0ok", 6), std::string("nul\0ok", 6)}};
  // clang-format on
  // A piece gets its CR LF, one with its own line end keeps one; the status line shows the
  // status text instead of the piece.
  for (const auto& [in, out] : cases) {
    Sink sink;
    DataWriter writer(sink);
    writer.PieceWithOwnLineEnd(in);
    writer.Piece(in, "Adding Body");
    EXPECT_EQ(sink.wire, (out.ends_with("\r\n") ? out : out + "\r\n") + out + "\r\n") << in;
    EXPECT_EQ(sink.status.back(), ">>Adding Body\r\n");
  }
}

void SetBoundary(SendMail& m, const std::string& boundary) {
  const auto type = m.Header()->Values()->Item("Content-Type");
  type->SubValues()->Item("Boundary")->SetText("\"" + boundary + "\"");
}

// Each row builds a message and either finds `written` in the wire or fails with `error`
// with nothing of the failing part, no closing boundary and no end of data written.
TEST(MessageAssembly, PartsAreWrittenByWhatTheyHoldAndFailuresStopBeforeTheEnd) {
  support::TempDir dir;
  // Larger than the stdio buffer, so the second reading reads the file again.
  std::string utf8;
  for (int i = 0; i < 4096; ++i) utf8 += "\xC3\xA9";
  const std::string file = dir.File("f.txt", utf8);
  Sink sink;
  // The fields of a new attachment of data.
  const auto add = [](SendMail& m, const char* data, const char* name, EncodeTypes e = {}) {
    return m.Attachments()->Add(Variant(data), name, "", e)->Values();
  };
  struct Row {
    const char* name;
    std::function<void(SendMail&)> set;
    std::string written;  // empty: the assembly fails
    int32_t error = 0;    // -1: not a postwing::Exception
    bool warned = false;  // a "WARNING!" notice: the host's encoding was not used
  };
  const Row rows[] = {
      {"the boundary line in the data: Base64",
       [&](auto& m) { SetBoundary(m, "simple"), add(m, "--simple\r\n", "f.txt"); },
       "Content-Transfer-Encoding: Base64\r\n\r\nLS1zaW1wbGUNCg==\r\n"},
      {"safe text labelled binary: 7bit", [&](auto& m) { add(m, "safe\r\n", "f.txt", emxBinary); },
       "Content-Transfer-Encoding: 7bit\r\n\r\nsafe\r\n\r\n--"},
      {"safe text with no encoding field: none added",
       [&](auto& m) {
         add(m, "safe\r\n", "g.txt", emxBinary)->Remove("Content-Transfer-Encoding");
       },
       "Filename=g.txt\r\n\r\nsafe\r\n"},
      {"a custom encoding as it is",
       [&](auto& m) { add(m, "x", "f.txt")->LetValue("x-own", "Content-Transfer-Encoding"); },
       "Content-Transfer-Encoding: x-own\r\n\r\nx\r\n--"},
      {"quoted-printable could write the host's boundary: Base64, with a notice",
       [&](auto& m) { SetBoundary(m, "simple"), add(m, "text", "f.txt", emxQuotedPrintable); },
       "Content-Transfer-Encoding: Base64\r\n\r\ndGV4dA==\r\n", 0, true},
      {"neither a type nor an encoding field: Base64, declared",
       [&](auto& m) {
         const auto values = add(m, "\xC3\xA9", "f.bin", emxBinary);
         values->Remove("Content-Type"), values->Remove("Content-Transfer-Encoding");
       },
       "Content-Transfer-Encoding: Base64\r\n\r\nw6k=\r\n", 0, true},
      {"raw: the body is the whole message",
       [](auto& m) {
         m.Body()->Values()->Add("", "x-postwing-test-flag"),
             m.Body()->SetText("Subject: x\n\n.body");
       },
       "Subject: x\r\n\r\n..body\r\n.\r\n"},
      // A short last line of 14 bytes begins with "." in uuencode.
      {"a uuencoded file's lines made transparent",
       [&](auto& m) {
         m.Header()->SetMIMECompliant(false);
         m.Attachments()->Add(Variant(dir.File("dot", std::string(14, 'x'))), "dot");
       },
       "begin 644 dot\r\n.."},
      {"a file that changes between its readings",
       [&](auto& m) {
         m.Attachments()->Add(Variant(file), "f.txt", "text/plain", emxQuotedPrintable);
       },
       "", 62},
      {"no boundary",
       [](auto& m) { m.Header()->Values()->Item("Content-Type")->SubValues()->Remove("Boundary"); },
       "", 5},
      // An empty boundary once made the search for an inner one loop for ever.
      {"an empty boundary",
       [](auto& m) {
         SetBoundary(m, "");
         m.Body()->SetText(Variant("<html>x</html>"));
         m.Body()->SetAlternativeText("x");
       },
       "", vbObjectError + emxContentNotSendable},
      {"a boundary readers need not accept", [](auto& m) { SetBoundary(m, "a<b>"); }, "",
       vbObjectError + emxContentNotSendable},
      {"a second send without Clear: the Message-ID exists",
       [](auto& m) { m.Header()->Values()->Add("<a@b>", "Message-ID"); }, "", 457},
      {"a file gone",
       [&](auto& m) {
         m.Attachments()->Add(Variant(dir.File("gone")), "gone", "", emxBinary);
         std::filesystem::remove(dir / "gone");
       },
       "", 53},
      // A field with no wire form (changed after Send's checks) stops the message at its part.
      {"a field with no wire form",
       [&](auto& m) { add(m, "data", "d.txt")->LetValue("<caf\xC3\xA9@x>", "Content-ID"); }, "",
       vbObjectError + emxContentNotSendable},
      {"cancelled after loading",
       [&](auto& m) {
         m.Attachments()->Add(Variant(dir.File("a.bin", "abc")), "a.bin", "", emxBase64);
         sink.on_write = [](Sink& s, const std::string& text) {
           if (text.starts_with("Loading")) s.stopped = true;
         };
       },
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    support::WriteFile(file, utf8);
    auto mail = SendMail::Create();
    sink = Sink();
    // The file of the changing row, rewritten between its readings: no longer UTF-8.
    sink.on_write = [&](Sink&, const std::string& text) {
      if (text.starts_with("Loading " + file)) support::WriteFile(file, std::string(8192, '\xE9'));
    };
    row.set(*mail);
    std::string id;
    session::SendMailModel model(ImplOf(*mail), id, false);
    DataWriter writer(sink);
    int32_t error = 0;
    bool complete = false;
    try {
      complete = AssembleMessage(model, model, writer);
    } catch (const Exception& e) {
      error = e.Number();
    }
    EXPECT_EQ(error, row.error) << sink.wire;
    EXPECT_EQ(complete, !row.written.empty());
    if (complete) {
      EXPECT_NE(sink.wire.find(row.written), std::string::npos) << sink.wire;
      EXPECT_EQ(sink.wire.find("Message-ID") == std::string::npos, sink.wire == row.written);
      const bool warned = std::any_of(sink.status.begin(), sink.status.end(), [](const auto& line) {
        return line.rfind("WARNING!", 0) == 0;
      });
      EXPECT_EQ(warned, row.warned);
    } else {
      EXPECT_EQ(sink.wire.find("\r\n.\r\n"), std::string::npos) << sink.wire;
      EXPECT_EQ(sink.wire.find("Content-ID"), std::string::npos) << sink.wire;
      EXPECT_EQ(sink.wire.find("--\r\n"), std::string::npos) << sink.wire;
      EXPECT_EQ(sink.wire.find("YWJj"), std::string::npos);  // the cancelled part's content
    }
  }
}

// The inner boundaries are no prefix of one another and the top one is the message's own:
// a host's boundary they would begin with makes them longer.
TEST(MessageAssembly, InnerBoundariesNeverBeginWithTheMessagesOwn) {
  auto mail = SendMail::Create();
  SetBoundary(*mail, "=_alt_");
  mail->Body()->SetText(Variant("<html>x</html>"));
  mail->Body()->SetAlternativeText("x");
  auto image = mail->Attachments()->Add(Variant("png"), "i.png", "", emxBase64)->Values();
  image->LetValue("inline", "Content-Disposition");
  image->LetValue("<i@h>", "Content-ID");
  const auto values = mail->Attachments()->Add(Variant("y"), "y.bin", "", emxBase64)->Values();
  values->LetValue("inline", "Content-Disposition");
  Sink sink;
  DataWriter writer(sink);
  std::string id;
  session::SendMailModel model(ImplOf(*mail), id, false);
  EXPECT_TRUE(AssembleMessage(model, model, writer));
  EXPECT_NE(sink.wire.find("boundary=\"=_alt1_alt_\""), std::string::npos) << sink.wire;
  EXPECT_EQ(UnquoteBoundary("\""), "\"");
  EXPECT_EQ(UnquoteBoundary("\"\"x\"\""), "\"x\"");
  EXPECT_EQ(UnquoteBoundary("x\""), "x\"");
}

}  // namespace
