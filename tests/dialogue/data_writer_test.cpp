#include "assembly/data_writer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using postwing::assembly::DataSink;
using postwing::assembly::DataWriter;

struct RecordingSink : DataSink {
  std::string wire;
  std::vector<std::string> status;
  bool stopped = false;
  void Notice(std::string text) override { status.push_back(text); }
  void WritePiece(std::string piece, const std::string& status_text) override {
    status.push_back(">>" + (status_text.empty() ? piece : status_text) + "\r\n");
    wire += piece + "\r\n";
  }
  void WriteEndOfData() override { wire += ".\r\n"; }
  bool Stopped() override { return stopped; }
};

TEST(DataWriter, TransparencyTable) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {".", ".."},                      // the piece starts a line
      {"a\r\n.\r\nb", "a\r\n..\r\nb"},  // a lone dot cannot end the data
      {"..x", "...x"},
      {"a.b\r\n", "a.b\r\n"},  // only leading dots
      {"a\nb", "a\r\nb"},      // bare LF
      {"a\rb", "a\r\nb"},      // bare CR
      {"a\r", "a\r\n"},        // bare CR at the end
      {"\n", "\r\n"},
      {"a\r\r\nb", "a\r\n\r\nb"},
      {"a\n.\nb", "a\r\n..\r\nb"},
      {"x\r\n\n.\r\n", "x\r\n\r\n..\r\n"},  // SMTP smuggling: <LF>.<CR><LF>
      {"x\n.\r\n", "x\r\n..\r\n"},
      {"x\r\n.\n", "x\r\n..\r\n"},
      {"x\r.\r", "x\r\n..\r\n"},
      {std::string("nul\0ok", 6), std::string("nul\0ok", 6)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DataWriter::Transparent(c.in), c.out) << "input: " << c.in;
  }
}

TEST(DataWriter, PieceAddsCrLfAndOwnLineEndKeepsOne) {
  RecordingSink sink;
  DataWriter writer(sink);
  writer.Piece("a");
  writer.PieceWithOwnLineEnd("b\r\n");
  writer.PieceWithOwnLineEnd("c");
  writer.PieceWithOwnLineEnd("d\n");
  writer.Piece("");
  EXPECT_EQ(sink.wire, "a\r\nb\r\nc\r\nd\r\n\r\n");
}

TEST(DataWriter, StatusShowsTheStatusTextInsteadOfThePiece) {
  RecordingSink sink;
  DataWriter writer(sink);
  writer.Piece("secret body", "Adding Body");
  ASSERT_EQ(sink.status.size(), 1u);
  EXPECT_EQ(sink.status[0], ">>Adding Body\r\n");
}

TEST(DataWriter, LargeCleanPieceIsPassedUnchanged) {
  std::string lines;
  for (int i = 0; i < 20000; ++i) lines += std::string(76, 'Q') + "\r\n";
  EXPECT_EQ(DataWriter::Transparent(lines), lines);
  std::string dotted = lines;
  dotted[78 * 19999] = '.';
  std::string expected = lines;
  expected.replace(78 * 19999, 1, "..");
  EXPECT_EQ(DataWriter::Transparent(dotted), expected);
}

}  // namespace
