#include "assembly/data_writer.hpp"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace postwing::assembly {

namespace {

// The offset of the first byte that Transparent must change, or size when none.
size_t FirstChange(const char* data, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    if (data[pos] == '.') return pos;  // a line that begins with "."
    const char* lf = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
    const size_t line_end = lf ? static_cast<size_t>(lf - data) : size;
    // The only CR allowed in a line is the one right before its LF.
    const size_t cr_limit =
        (lf && line_end > pos && data[line_end - 1] == '\r') ? line_end - 1 : line_end;
    if (const void* cr = std::memchr(data + pos, '\r', cr_limit - pos)) {
      return static_cast<size_t>(static_cast<const char*>(cr) - data);
    }
    if (!lf) return size;
    if (cr_limit == line_end) return line_end;  // a bare LF
    pos = line_end + 1;
  }
  return size;
}

}  // namespace

std::string DataWriter::Transparent(std::string piece) {
  const size_t first = FirstChange(piece.data(), piece.size());
  if (first == piece.size()) return piece;

  std::string out;
  out.reserve(piece.size() + piece.size() / 32 + 16);
  // The change found lies in a line that starts at or before first: restart at its start.
  size_t line_start = first;
  while (line_start > 0 && piece[line_start - 1] != '\n') --line_start;
  // A CR right before line_start that is not followed by LF would be a bare CR, but then
  // FirstChange would have stopped there; so the prefix is already transparent.
  out.append(piece, 0, line_start);
  bool at_line_start = true;
  const size_t size = piece.size();
  for (size_t i = line_start; i < size; ++i) {
    const char c = piece[i];
    if (c == '\r') {
      out.append("\r\n");
      if (i + 1 < size && piece[i + 1] == '\n') ++i;
      at_line_start = true;
    } else if (c == '\n') {
      out.append("\r\n");
      at_line_start = true;
    } else {
      if (at_line_start && c == '.') out.push_back('.');
      out.push_back(c);
      at_line_start = false;
    }
  }
  return out;
}

void DataWriter::Piece(std::string piece, const std::string& status_text) {
  sink_.WritePiece(Transparent(std::move(piece)), status_text);
}

void DataWriter::PieceWithOwnLineEnd(std::string piece, const std::string& status_text) {
  std::string safe = Transparent(std::move(piece));
  // The sink adds CR LF: a piece that already ends a line gives up its own.
  if (safe.size() >= 2 && safe.compare(safe.size() - 2, 2, "\r\n") == 0) {
    safe.resize(safe.size() - 2);
  }
  sink_.WritePiece(std::move(safe), status_text);
}

void DataSink::WriteLines(std::string, const std::string&) {
  throw std::logic_error("This data sink takes whole pieces only.");
}

void DataWriter::BeginLines(std::string status_text) {
  lines_.clear();
  if (sink_.Streams()) {
    sink_.WriteLines({}, status_text);
  } else {
    lines_status_ = std::move(status_text);
  }
}

void DataWriter::Lines(std::string lines) {
  if (sink_.Streams()) {
    sink_.WriteLines(std::move(lines), {});
  } else {
    lines_.append(lines);
  }
}

void DataWriter::EndLines() {
  if (sink_.Streams()) {
    sink_.WriteLines("\r\n", {});
  } else {
    sink_.WritePiece(std::move(lines_), lines_status_);
    lines_.clear();
  }
}

}  // namespace postwing::assembly
