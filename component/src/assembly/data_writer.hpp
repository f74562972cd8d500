// The only door to the wire during the data phase.
#pragma once

#include <string>
#include <string_view>

namespace postwing::assembly {

// Where the data writer puts what it has made safe.
class DataSink {
 public:
  virtual ~DataSink() = default;
  // A notice of the assembly (its text ends with CR LF).
  virtual void Notice(std::string text) = 0;
  // Writes piece + CR LF; the status line shows status_text, or the piece when empty.
  virtual void WritePiece(std::string piece, const std::string& status_text) = 0;
  // Writes the end-of-data line and reports it.
  virtual void WriteEndOfData() = 0;
  // True once nothing more may be written: the send was cancelled or the connection is gone.
  virtual bool Stopped() = 0;

  // A sink that takes content in pieces (WriteLines) rather than whole.
  virtual bool Streams() { return false; }
  // Only where Streams: shows the status line ">>" + status_text unless it is empty, then
  // writes the bytes as they are; may run the thread's events until the connection has
  // room for more, and returns early once Stopped.
  virtual void WriteLines(std::string bytes, const std::string& status_text);

  // The transport takes 8-bit text as it is (the server was told BODY=8BITMIME).
  virtual bool EightBit() { return false; }
  // The message goes with SMTPUTF8: addresses outside ASCII are written as they are.
  virtual bool Utf8() { return false; }
};

// Makes every piece transparent before it reaches the sink: each bare CR and bare LF
// becomes CR LF and each line that begins with "." gets a second "." (RFC 5321 4.5.2), so
// no piece can end the data early or smuggle commands, and strict servers accept it.
class DataWriter {
 public:
  explicit DataWriter(DataSink& sink) : sink_(sink) {}

  // Writes the piece followed by CR LF.
  void Piece(std::string piece, const std::string& status_text = {});
  // Writes the piece so that it ends with exactly one line end: its own, when it has one,
  // else the CR LF that is added.
  void PieceWithOwnLineEnd(std::string piece, const std::string& status_text = {});
  // Content made of many pieces, each starting at a line start and already transparent,
  // written as one piece of the given status: EndLines adds its CR LF. A streaming sink
  // gets each piece as it comes, any other the whole content at EndLines.
  void BeginLines(std::string status_text);
  void Lines(std::string lines);
  void EndLines();

  void Notice(std::string text) { sink_.Notice(std::move(text)); }
  void EndOfData() { sink_.WriteEndOfData(); }
  bool Stopped() { return sink_.Stopped(); }
  // Text parts may go as "8bit" rather than encoded; once one has, EightBitWritten holds.
  bool EightBit() { return sink_.EightBit(); }
  bool Utf8() { return sink_.Utf8(); }
  void NoteEightBit() { eight_bit_written_ = true; }
  bool EightBitWritten() const { return eight_bit_written_; }

  // The transparent form of a piece that starts at the beginning of a line.
  static std::string Transparent(std::string piece);

 private:
  DataSink& sink_;
  std::string lines_status_;
  std::string lines_;  // gathered for a sink that does not stream
  bool eight_bit_written_ = false;
};

}  // namespace postwing::assembly
