#include "assembly/message_assembly.hpp"

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

// A piece gets its CR LF, one with its own line end keeps one; the status line shows the
// status text instead of the piece.
TEST(DataWriter, PieceAddsCrLfAndOwnLineEndKeepsOne) {
  Sink sink;
  DataWriter writer(sink);
  writer.Piece("a");
  writer.PieceWithOwnLineEnd("b\r\n");
  writer.PieceWithOwnLineEnd("c");
  writer.PieceWithOwnLineEnd("d\n");
  writer.Piece("");
  writer.Piece("secret body", "Adding Body");
  EXPECT_EQ(sink.wire, "a\r\nb\r\nc\r\nd\r\n\r\nsecret body\r\n");
  EXPECT_EQ(sink.status.back(), ">>Adding Body\r\n");
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

// The inner boundaries are no prefix of one another and the top one is the message's own:
// a host's boundary they would begin with makes them longer.
TEST(MessageAssembly, InnerBoundariesNeverBeginWithTheMessagesOwn) {
  FakeMessage m;
  m.boundary = "=_alt_";
  m.body_text = "<html>x</html>";
  m.alternative = "x";
  m.attachments.push_back({{{"Content-Disposition", "inline"}, {"Content-ID", "<i@h>"}},
                           "png",
                           false,
                           "i.png",
                           emxBase64});
  m.attachments.push_back({{{"Content-Disposition", "inline"}}, "", false, "y.bin", emxBase64});
  m.attachments.push_back({{{"Content-Type", "x/y"}}, "", false, "z.bin", emxBase64});
  EXPECT_NE(Assemble(m).wire.find("boundary=\"=_alt1_alt_\""), std::string::npos);
  EXPECT_EQ(UnquoteBoundary("\""), "\"");
  EXPECT_EQ(UnquoteBoundary("\"\"x\"\""), "\"x\"");
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

// A failure propagates, and nothing of the failing part, no closing boundary and no end of
// data are written.
TEST(MessageAssembly, FailuresPropagateWithoutTheEndOfData) {
  const struct {
    std::function<void(FakeMessage&)> fail;
    int32_t number;  // 0: not a postwing::Exception
  } cases[] = {
      {[](FakeMessage& m) { m.boundary.clear(); }, 0},
      {[](FakeMessage& m) { m.message_id_added = true; }, 0},  // a second send without Clear
      {[](FakeMessage& m) {
         m.attachments.push_back({{}, "/nope", true, "nope", emxBinary});
       },
       0},
      // A field with no wire form (changed after Send's checks) stops the message at its part.
      {[](FakeMessage& m) {
         m.attachments.push_back(
             {{{"Content-ID", "<caf\xC3\xA9@x>"}}, "data", false, "d.txt", emxBinary});
       },
       vbObjectError + emxContentNotSendable},
  };
  for (const auto& c : cases) {
    FakeMessage m;
    c.fail(m);
    Sink sink;
    DataWriter writer(sink);
    int32_t number = -1;
    try {
      AssembleMessage(m, m, writer);
    } catch (const Exception& e) {
      number = e.Number();
    } catch (const std::runtime_error&) {
      number = 0;
    }
    EXPECT_EQ(number, c.number) << sink.wire;
    EXPECT_EQ(sink.wire.find("--\r\n"), std::string::npos) << sink.wire;
    EXPECT_EQ(sink.wire.find("Content-ID"), std::string::npos) << sink.wire;
    EXPECT_EQ(sink.wire.find("\r\n.\r\n"), std::string::npos) << sink.wire;
  }
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
