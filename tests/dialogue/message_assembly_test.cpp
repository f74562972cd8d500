#include "assembly/message_assembly.hpp"
#include "postwing/exception.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "postwing/exception.hpp"

namespace {

using namespace postwing;
using namespace postwing::assembly;

const std::string kBoundary = "=_5550142857_quillfeather_5550171428_part";

struct FakeMessage : MessageModel, Encoders {
  bool raw = false;
  bool mime = true;
  std::string body_text;
  EncodeTypes body_encoding = emxBinary;
  bool body_chosen = false;
  std::vector<FieldLine> header{{"Content-type", "multipart/mixed;boundary=\"" + kBoundary + "\""},
                                {"MIME-Version", "1.0"}};
  std::vector<FieldLine> body_fields{{"Content-Type", "text/plain"},
                                     {"Content-Transfer-Encoding", "Binary"}};
  std::string boundary = "\"" + kBoundary + "\"";
  std::vector<AttachmentPart> attachments;
  std::map<std::string, std::string> files;
  bool message_id_added = false;
  std::function<void()> on_load;

  bool RawMode() override { return raw; }
  std::string BodyText() override { return body_text; }
  void AddMessageId() override {
    if (message_id_added) throw std::runtime_error("Message-ID exists");
    message_id_added = true;
    header.push_back({"Message-ID", "<ID@HOST>"});
  }
  std::vector<FieldLine> HeaderFields() override { return header; }
  bool MimeCompliant() override { return mime; }
  std::string BoundaryParameter() override {
    if (boundary.empty()) throw std::runtime_error("no boundary");
    return boundary;
  }
  std::vector<FieldLine> BodyFields() override { return body_fields; }
  EncodeTypes BodyEncodeType() override { return body_encoding; }
  bool BodyEncodeTypeChosen() override { return body_chosen; }
  std::string alternative;
  std::string AlternativeText() override { return alternative; }
  int32_t AttachmentCount() override { return static_cast<int32_t>(attachments.size()); }
  AttachmentPart Attachment(int32_t index) override { return attachments.at(index - 1); }
  std::vector<FieldLine> AttachmentFields(int32_t index) override {
    return attachments.at(index - 1).fields;
  }

  std::string Base64Lines(std::string_view bytes) override {
    return bytes.empty() ? "" : "B64[" + std::string(bytes) + "]\r\n";
  }
  struct Pieces : LineStream {
    std::vector<std::string> pieces;
    size_t at = 0;
    bool Next(std::string& lines) override {
      if (at == pieces.size()) return false;
      lines = pieces[at++];
      return true;
    }
  };
  std::unique_ptr<LineStream> Base64File(const std::string& path) override {
    if (on_load) on_load();
    auto stream = std::make_unique<Pieces>();
    const std::string encoded = Base64Lines(files.at(path));
    if (!encoded.empty()) stream->pieces.push_back(encoded);
    return stream;
  }
  std::string QuotedPrintable(const std::string& text) override {
    return text.empty() ? "" : "QP[" + text + "]=\r\n";
  }
  std::string UUEncode(const std::string& data, const std::string& name) override {
    return "begin 644 " + name + "\r\nUU[" + data + "]\r\n`\r\nend";
  }
  std::unique_ptr<LineStream> UUEncodeFile(const std::string& path,
                                           const std::string& name) override {
    auto stream = std::make_unique<Pieces>();
    stream->pieces.push_back(UUEncode(files.at(path), name));
    return stream;
  }
  struct FeedQP : PieceEncoder {
    bool any = false;
    std::string Feed(std::string_view piece) override {
      if (piece.empty()) return "";
      return std::string(std::exchange(any, true) ? "" : "QP[") + std::string(piece);
    }
    std::string Finish() override { return std::exchange(any, false) ? "]=\r\n" : ""; }
  };
  std::unique_ptr<PieceEncoder> QuotedPrintablePieces() override {
    return std::make_unique<FeedQP>();
  }
  // Files come in pieces of piece_size bytes, so every cut is met somewhere.
  size_t piece_size = 3;
  std::map<std::string, std::string> rewritten;  // what a file holds at its second reading
  struct Bytes : FileBytes {
    std::string data, then;
    size_t piece, at = 0;
    bool Next(std::string& bytes) override {
      if (at >= data.size()) return false;
      bytes = data.substr(at, piece);
      at += piece;
      return true;
    }
    void Rewind() override {
      at = 0;
      if (!then.empty()) data = then;
    }
  };
  std::unique_ptr<FileBytes> OpenFile(const std::string& path) override {
    auto it = files.find(path);
    if (it == files.end()) throw std::runtime_error("file not found");
    auto bytes = std::make_unique<Bytes>();
    bytes->data = it->second;
    bytes->then = rewritten[path];
    bytes->piece = piece_size;
    return bytes;
  }
};

struct Sink : DataSink {
  std::string wire;
  std::vector<std::string> status;
  bool stopped = false;
  void Notice(std::string text) override { status.push_back(text); }
  void WritePiece(std::string piece, const std::string& status_text) override {
    status.push_back(">>" + (status_text.empty() ? piece : status_text) + "\r\n");
    wire += piece + "\r\n";
  }
  void WriteEndOfData() override {
    wire += ".\r\n";
    status.push_back(">>.\r\n");
    status.push_back(">>Sending\r\n");
  }
  bool Stopped() override { return stopped; }
};

TEST(DataWriter, PieceAddsCrLfAndOwnLineEndKeepsOne) {
  Sink sink;
  DataWriter writer(sink);
  writer.Piece("a");
  writer.PieceWithOwnLineEnd("b\r\n");
  writer.PieceWithOwnLineEnd("c");
  writer.PieceWithOwnLineEnd("d\n");
  writer.Piece("");
  EXPECT_EQ(sink.wire, "a\r\nb\r\nc\r\nd\r\n\r\n");
}

TEST(DataWriter, StatusShowsTheStatusTextInsteadOfThePiece) {
  Sink sink;
  DataWriter writer(sink);
  writer.Piece("secret body", "Adding Body");
  ASSERT_EQ(sink.status.size(), 1u);
  EXPECT_EQ(sink.status[0], ">>Adding Body\r\n");
}

struct Outcome {
  bool complete;
  std::string wire;
  std::vector<std::string> status;
};

Outcome Assemble(FakeMessage& m) {
  Sink sink;
  DataWriter writer(sink);
  bool complete = AssembleMessage(m, m, writer);
  return {complete, sink.wire, sink.status};
}

// Folded: the line would pass 78 characters.
const std::string kHead = "Content-type: multipart/mixed;\r\n boundary=\"" + kBoundary +
                          "\"\r\nMIME-Version: 1.0\r\nMessage-ID: <ID@HOST>\r\n";
const std::string kNotice = std::string(kMimeNotice) + "\r\n";

TEST(MessageAssembly, EmptyMimeMessage) {
  FakeMessage m;
  Outcome r = Assemble(m);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.wire, kHead + "\r\n" + kNotice + "\r\n--" + kBoundary + "--\r\n" + kNotice + ".\r\n");
}

TEST(MessageAssembly, TextBodyIsExactlyItsData) {
  // The CR LF before the boundary belongs to the boundary: none is added to the body.
  FakeMessage m;
  m.body_text = "Hello\r\n.leading dot\r\nend";
  Outcome r = Assemble(m);
  EXPECT_EQ(r.wire, kHead + "\r\n" + kNotice + "\r\n--" + kBoundary +
                        "\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n"
                        "\r\nHello\r\n..leading dot\r\nend\r\n--" +
                        kBoundary + "--\r\n" + kNotice + ".\r\n");
  EXPECT_NE(std::find(r.status.begin(), r.status.end(), ">>Adding Body\r\n"), r.status.end());
}

TEST(MessageAssembly, QuotedPrintableBodyEndsOnItsSoftBreak) {
  FakeMessage m;
  m.body_text = "<html>x</html>";
  m.body_encoding = emxQuotedPrintable;
  m.body_fields = {{"Content-Type", "text/html"},
                   {"Content-Transfer-Encoding", "quoted-printable"}};
  Outcome r = Assemble(m);
  const std::string part = "--" + kBoundary +
                           "\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: "
                           "quoted-printable\r\n\r\nQP[<html>x</html>]=\r\n\r\n--" +
                           kBoundary + "--\r\n";
  EXPECT_NE(r.wire.find(part), std::string::npos) << r.wire;
  EXPECT_NE(std::find(r.status.begin(), r.status.end(), "Quoted-printable Encoding Body\r\n"),
            r.status.end());
}

TEST(MessageAssembly, Base64AttachmentFromFileAndRawAndEmptyAttachments) {
  FakeMessage m;
  m.files["/d/a.bin"] = "abc";
  m.files["/d/t.txt"] = "line\r\n";
  m.attachments.push_back(
      {{{"Content-Type", "application/octet-stream"}}, "/d/a.bin", true, "a.bin", emxBase64});
  m.attachments.push_back({{{"Content-Type", "text/plain"}}, "/d/t.txt", true, "t.txt", emxBinary});
  m.attachments.push_back({{{"Content-Type", "text/plain"}}, "", false, "e.txt", emxBinary});
  m.attachments.push_back({{{"Content-Type", "text/csv"}}, "", false, "q.csv", emxQuotedPrintable});
  m.attachments.push_back({{{"Content-Type", "x/y"}}, "", false, "z.bin", emxBase64});
  Outcome r = Assemble(m);
  const std::string b = "--" + kBoundary + "\r\n";
  EXPECT_EQ(r.wire, kHead + "\r\n" + kNotice + "\r\n" + b +
                        "Content-Type: application/octet-stream\r\n\r\nB64[abc]\r\n\r\n\r\n" + b +
                        "Content-Type: text/plain\r\n\r\nline\r\n\r\n" +  //
                        b + "Content-Type: text/plain\r\n\r\n\r\n" +      //
                        b + "Content-Type: text/csv\r\n\r\n\r\n" +        //
                        b + "Content-Type: x/y\r\n\r\n\r\n\r\n" +         //
                        "--" + kBoundary + "--\r\n" + kNotice + ".\r\n");
  const std::vector<std::string> notices = {
      "Loading /d/a.bin\r\n",      "Base64 Encoding /d/a.bin\r\n", ">>Adding /d/a.bin\r\n",
      "Loading /d/t.txt\r\n",      ">>Adding /d/t.txt\r\n",        "Loading Source: e.txt\r\n",
      ">>Adding Source: e.txt\r\n"};
  size_t at = 0;
  for (const auto& n : notices) {
    auto it = std::find(r.status.begin() + static_cast<long>(at), r.status.end(), n);
    ASSERT_NE(it, r.status.end()) << n;
    at = static_cast<size_t>(it - r.status.begin());
  }
}

// What the reader would not get unchanged is encoded: here with a host's boundary that
// quoted-printable could repeat, a custom label, and a file that changes between readings.
TEST(MessageAssembly, PartsAreWrittenByWhatTheyHold) {
  struct Row {
    std::string boundary, data;
    std::vector<FieldLine> fields;
    EncodeTypes type;
    std::string then;  // the file at its second reading; empty: no file
    std::string written;
  } rows[] = {
      {"simple",
       "--simple\r\n",
       {{"Content-Type", "text/plain"}},
       emxBinary,
       "",
       "Content-Transfer-Encoding: Base64\r\n\r\nB64[--simple\r\n]"},
      {"simple",
       "safe\r\n",
       {{"Content-Transfer-Encoding", "Binary"}},
       emxBinary,
       "",
       "Content-Transfer-Encoding: 7bit\r\n\r\nsafe\r\n\r\n--simple"},
      {kBoundary,
       "x",
       {{"Content-Transfer-Encoding", "x-own"}},
       emxCustomEncode,
       "",
       "Content-Transfer-Encoding: x-own\r\n\r\nx\r\n--"},
      // Chosen, but quoted-printable could write the boundary: Base64, with a notice.
      {"simple",
       "text",
       {{"Content-Type", "text/plain"}},
       emxQuotedPrintable,
       "",
       "Content-Transfer-Encoding: Base64\r\n\r\nB64[text]"},
      {kBoundary,
       "\xC3\xA9t\xC3\xA9",
       {{"Content-Type", "text/plain"}},
       emxQuotedPrintable,
       "\xE9t\xE9",
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.written);
    FakeMessage m;
    m.boundary = row.boundary;
    const bool file = !row.then.empty();
    if (file) {
      m.files["/d/f.txt"] = row.data;
      m.rewritten["/d/f.txt"] = row.then;
    }
    m.attachments.push_back(
        {row.fields, file ? "/d/f.txt" : row.data, file, "f.txt", row.type, row.type != emxBinary});
    Sink sink;
    DataWriter writer(sink);
    try {
      EXPECT_TRUE(AssembleMessage(m, m, writer));
      EXPECT_FALSE(row.written.empty()) << "the changed file was sent";
      EXPECT_NE(sink.wire.find(row.written), std::string::npos) << sink.wire;
      const bool warned = std::any_of(sink.status.begin(), sink.status.end(), [](const auto& line) {
        return line.rfind("WARNING!", 0) == 0;
      });
      EXPECT_EQ(warned, row.type == emxQuotedPrintable);
    } catch (const Exception& e) {
      EXPECT_EQ(e.Number(), 62);
      EXPECT_TRUE(file);
      EXPECT_EQ(sink.wire.find("\r\n.\r\n"), std::string::npos);
    }
  }
}

// The levels a body with a text alternative and an inline part needs, byte for byte; their
// boundaries are no prefix of one another, and the top one is the message's own.
TEST(MessageAssembly, AlternativeAndInlinePartsNestInsideTheMessage) {
  FakeMessage m;
  m.body_text = "<html>x</html>";
  m.body_fields = {{"Content-Type", "text/html"}};
  m.alternative = "x";
  m.attachments.push_back(
      {{{"Content-Type", "image/png"}, {"Content-Disposition", "inline"}, {"Content-ID", "<i@h>"}},
       "png",
       false,
       "i.png",
       emxBase64});
  m.attachments.push_back({{{"Content-Type", "x/y"}}, "", false, "z.bin", emxBase64});
  const std::string rel = "=_rel_5550142857_quillfeather_5550171428_part",
                    alt = "=_alt_5550142857_quillfeather_5550171428_part";
  EXPECT_EQ(
      Assemble(m).wire,
      kHead + "\r\n" + kNotice + "\r\n--" + kBoundary +
          "\r\nContent-Type: multipart/related; type=\"multipart/alternative\";\r\n "
          "boundary=\"" +
          rel + "\"\r\n\r\n--" + rel + "\r\nContent-Type: multipart/alternative;\r\n boundary=\"" +
          alt + "\"\r\n\r\n--" + alt +
          "\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: 7bit\r\n\r\nx\r\n--" + alt +
          "\r\nContent-Type: text/html\r\n\r\n<html>x</html>\r\n--" + alt + "--\r\n--" + rel +
          "\r\nContent-Type: image/png\r\nContent-Disposition: inline\r\nContent-ID: "
          "<i@h>\r\n\r\nB64[png]\r\n\r\n\r\n--" +
          rel + "--\r\n--" + kBoundary + "\r\nContent-Type: x/y\r\n\r\n\r\n\r\n--" + kBoundary +
          "--\r\n" + kNotice + ".\r\n");
  // A host's boundary the inner ones would begin with.
  m.boundary = "=_alt_";
  m.message_id_added = false;
  EXPECT_NE(Assemble(m).wire.find("boundary=\"=_alt1_alt_\""), std::string::npos);
}

TEST(MessageAssembly, PlainLayoutUuencodesEveryAttachment) {
  FakeMessage m;
  m.mime = false;
  m.header = {{"TO", "a@b;c@d;"}};
  m.body_text = "Body";
  m.files["/d/f.dat"] = "xyz";
  m.attachments.push_back({{}, "/d/f.dat", true, "f.dat", emxBase64});
  m.attachments.push_back({{}, "data", false, "g.txt", emxUUEncode});
  Outcome r = Assemble(m);
  EXPECT_EQ(r.wire,
            "TO: a@b, c@d\r\nMessage-ID: <ID@HOST>\r\n\r\nBody\r\n"
            "begin 644 f.dat\r\nUU[xyz]\r\n`\r\nend\r\n\r\n"
            "begin 644 g.txt\r\nUU[data]\r\n`\r\nend\r\n\r\n.\r\n");
  EXPECT_EQ(r.status[3], ">>Sending Body\r\n");
  EXPECT_EQ(r.status[4], "UUEncoding /d/f.dat\r\n");
  EXPECT_EQ(r.status[5], ">>Adding f.dat\r\n");
  EXPECT_EQ(r.status[7], "UUEncoding Source: g.txt\r\n");
}

TEST(MessageAssembly, UuencodedFilePiecesAreMadeTransparent) {
  // A short last line of 14 bytes begins with "." in uuencode.
  FakeMessage m;
  m.mime = false;
  m.header = {};
  m.files["/d/dot"] = "x\r\n.y";
  m.attachments.push_back({{}, "/d/dot", true, "dot", emxUUEncode});
  Outcome r = Assemble(m);
  EXPECT_EQ(r.wire,
            "Message-ID: <ID@HOST>\r\n\r\n\r\nbegin 644 dot\r\nUU[x\r\n..y]\r\n`\r\nend\r\n"
            "\r\n.\r\n");
}

TEST(MessageAssembly, RawModeWritesTheBodyAloneAndAddsNoMessageId) {
  FakeMessage m;
  m.raw = true;
  m.body_text = "Subject: x\r\n\r\n.body\r\n";
  Outcome r = Assemble(m);
  EXPECT_EQ(r.wire, "Subject: x\r\n\r\n..body\r\n.\r\n");
  EXPECT_FALSE(m.message_id_added);
  m.body_text = "Subject: x\n\nno line end";
  EXPECT_EQ(Assemble(m).wire, "Subject: x\r\n\r\nno line end\r\n.\r\n");
}

TEST(MessageAssembly, UnquoteBoundaryRemovesOnePairOnly) {
  EXPECT_EQ(UnquoteBoundary("\"abc\""), "abc");
  EXPECT_EQ(UnquoteBoundary("abc"), "abc");
  EXPECT_EQ(UnquoteBoundary("\""), "\"");
  EXPECT_EQ(UnquoteBoundary("\"\"x\"\""), "\"x\"");
}

TEST(MessageAssembly, FailuresPropagateWithoutTheEndOfData) {
  FakeMessage m;
  m.boundary.clear();
  Sink sink;
  DataWriter writer(sink);
  EXPECT_THROW(AssembleMessage(m, m, writer), std::runtime_error);
  EXPECT_EQ(sink.wire.find("\r\n.\r\n"), std::string::npos);

  FakeMessage second;
  second.message_id_added = true;  // a second send without Clear
  Sink sink2;
  DataWriter writer2(sink2);
  EXPECT_THROW(AssembleMessage(second, second, writer2), std::runtime_error);
  EXPECT_TRUE(sink2.wire.empty());

  FakeMessage missing;
  missing.attachments.push_back({{}, "/nope", true, "nope", emxBinary});
  Sink sink3;
  DataWriter writer3(sink3);
  EXPECT_THROW(AssembleMessage(missing, missing, writer3), std::runtime_error);
  EXPECT_EQ(sink3.wire.find("--\r\n"), std::string::npos);

  // A field with no wire form (changed after Send's checks) stops the message at its part.
  FakeMessage unsendable;
  unsendable.attachments.push_back(
      {{{"Content-ID", "<caf\xC3\xA9@x>"}}, "data", false, "d.txt", emxBinary});
  Sink sink4;
  DataWriter writer4(sink4);
  try {
    AssembleMessage(unsendable, unsendable, writer4);
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Number(), vbObjectError + emxContentNotSendable);
  }
  EXPECT_EQ(sink4.wire.find("Content-ID"), std::string::npos);
  EXPECT_EQ(sink4.wire.find("\r\n.\r\n"), std::string::npos);
}

TEST(MessageAssembly, CancelAfterLoadingStopsBeforeTheEnd) {
  FakeMessage m;
  m.files["/d/a.bin"] = "abc";
  m.attachments.push_back({{}, "/d/a.bin", true, "a.bin", emxBase64});
  Sink sink;
  m.on_load = [&] { sink.stopped = true; };
  DataWriter writer(sink);
  EXPECT_FALSE(AssembleMessage(m, m, writer));
  EXPECT_EQ(sink.wire.find("B64"), std::string::npos);
  EXPECT_EQ(sink.wire.find("\r\n.\r\n"), std::string::npos);
}

}  // namespace
