#include "codecs/uuencode.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "codecs/codec_support.hpp"
#include "core/error_report.hpp"
#include "platform/module.hpp"

namespace postwing {
namespace {

constexpr size_t kLineBytes = 45;
constexpr size_t kLineChars = 1 + 60 + 2;  // length character, data, CR LF

// 0 is the grave accent, never a space, so no line carries trailing white space.
constexpr uint8_t UUChar(unsigned v) {
  return v == 0 ? '`' : static_cast<uint8_t>(v + 32);
}
constexpr unsigned UUValue(uint8_t c) {
  return (c - 32u) & 63u;
}

constexpr std::array<std::array<uint8_t, 2>, 4096> MakePairs() {
  std::array<std::array<uint8_t, 2>, 4096> t{};
  for (unsigned v = 0; v < 4096; ++v) t[v] = {UUChar(v >> 6), UUChar(v & 63)};
  return t;
}
constexpr auto kPairs = MakePairs();

// One line of k (1-45) bytes, padded with zeros to whole groups; returns its end.
inline uint8_t* EncodeLine(const uint8_t* s, size_t k, uint8_t* d) {
  *d++ = UUChar(static_cast<unsigned>(k));
  const size_t whole = k / 3;
  for (size_t g = 0; g < whole; ++g, s += 3, d += 4) {
    const uint32_t v = (uint32_t{s[0]} << 16) | (uint32_t{s[1]} << 8) | s[2];
    std::memcpy(d, kPairs[v >> 12].data(), 2);
    std::memcpy(d + 2, kPairs[v & 0xFFF].data(), 2);
  }
  if (k % 3) {
    uint8_t last[3] = {s[0], k % 3 == 2 ? s[1] : uint8_t{0}, 0};
    const uint32_t v = (uint32_t{last[0]} << 16) | (uint32_t{last[1]} << 8);
    std::memcpy(d, kPairs[v >> 12].data(), 2);
    std::memcpy(d + 2, kPairs[v & 0xFFF].data(), 2);
    d += 4;
  }
  d[0] = '\r';
  d[1] = '\n';
  return d + 2;
}

// The text after the last "/" or "\", or the whole text.
std::string LastSegment(std::string_view path) {
  const size_t sep = path.find_last_of("/\\");
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

}  // namespace

template <class Source>
std::string UUEncode::Encode(Source& source, uint64_t size, std::string_view name) {
  const size_t full = static_cast<size_t>(size / kLineBytes);
  const size_t rest = static_cast<size_t>(size % kLineBytes);
  const size_t length =
      10 + name.size() + 2 + full * kLineChars + (rest ? 1 + 4 * ((rest + 2) / 3) + 2 : 0) + 3 + 3;
  std::string text;
  codec::ChunkWriter<std::string> w(text, length);
  w.Put("begin 644 ");
  w.Put(name);
  w.Put("\r\n");
  codec::RunYielding(full, cancelled_, [&](size_t, size_t count) {
    const uint8_t* s = source.Take(count * kLineBytes);
    uint8_t* d = w.Room(count * kLineChars);
    for (size_t i = 0; i < count; ++i, s += kLineBytes) d = EncodeLine(s, kLineBytes, d);
    w.Commit(d);
  });
  if (full > 0 && cancelled_) return {};
  // A length that is a multiple of 45 has no short line.
  if (rest) {
    uint8_t* d = w.Room(kLineChars);
    w.Commit(EncodeLine(source.Take(rest), rest, d));
  }
  w.Put("`\r\nend");
  w.Flush();
  return text;
}

std::string UUEncode::UUEncodeFile(const std::string& InputFilename, std::string_view FileName) {
  try {
    const std::string name = FileName.empty() ? LastSegment(InputFilename) : std::string(FileName);
    codec::InputFile file(InputFilename);
    codec::FilePieces source(file);
    return Encode(source, file.Size(), name);
  } catch (...) {
    throw detail::CurrentException();
  }
}

UUEncode::FileLines::FileLines(UUEncode& codec, const std::string& InputFilename,
                               std::string_view FileName, size_t piece_bytes)
    : codec_(codec), piece_lines_(piece_bytes / kLineBytes) {
  try {
    if (piece_lines_ == 0 || piece_bytes % kLineBytes != 0) {
      detail::RaiseRuntimeError(detail::kErrInvalidProcedureCall);
    }
    name_ = FileName.empty() ? LastSegment(InputFilename) : std::string(FileName);
    file_ = std::make_unique<codec::InputFile>(InputFilename);
    source_ = std::make_unique<codec::FilePieces>(*file_);
    full_ = file_->Size() / kLineBytes;
    rest_ = static_cast<size_t>(file_->Size() % kLineBytes);
  } catch (...) {
    throw detail::CurrentException();
  }
}

UUEncode::FileLines::~FileLines() = default;

bool UUEncode::FileLines::Next(std::string& text) {
  try {
    text.clear();
    if (finished_ || codec_.cancelled_) return false;
    const size_t lines = static_cast<size_t>(std::min<uint64_t>(piece_lines_, full_ - full_done_));
    const bool last = full_done_ + lines == full_;
    codec::ChunkWriter<std::string> w(
        text, (started_ ? 0 : 12 + name_.size()) + (lines + 1) * kLineChars + (last ? 6 : 0));
    if (!started_) {
      w.Put("begin 644 ");
      w.Put(name_);
      w.Put("\r\n");
      started_ = true;
    }
    codec::RunYielding(lines, codec_.cancelled_, [&](size_t, size_t count) {
      const uint8_t* s = source_->Take(count * kLineBytes);
      uint8_t* d = w.Room(count * kLineChars);
      for (size_t i = 0; i < count; ++i, s += kLineBytes) d = EncodeLine(s, kLineBytes, d);
      w.Commit(d);
    });
    full_done_ += lines;
    if (lines > 0 && codec_.cancelled_) {
      text.clear();
      return false;
    }
    if (last) {
      if (rest_) {
        uint8_t* d = w.Room(kLineChars);
        w.Commit(EncodeLine(source_->Take(rest_), rest_, d));
      }
      w.Put("`\r\nend");
      finished_ = true;
    }
    w.Flush();
    return true;
  } catch (...) {
    throw detail::CurrentException();
  }
}

std::string UUEncode::UUEncodeData(std::string_view Data, std::string_view FileName) {
  try {
    std::string name(FileName);
    if (name.empty()) {
      // The name a staging file would have had; the file itself is not needed.
      const std::string staged = platform::TempFileName();
      std::remove(staged.c_str());
      name = LastSegment(staged);
    }
    codec::MemoryPieces source(Data);
    return Encode(source, Data.size(), name);
  } catch (...) {
    const Exception e = detail::CurrentException();
    throw Exception(e.Number(), "UUEncode", e.Description(), e.HelpFile(), e.HelpContext());
  }
}

std::string UUEncode::UUDecode(std::string_view UUEncodedData) {
  try {
    std::string out;
    const auto* p = reinterpret_cast<const uint8_t*>(UUEncodedData.data());
    const uint8_t* const end = p + UUEncodedData.size();
    codec::ChunkWriter<std::string> w(out, UUEncodedData.size() / 4 * 3 + 3);
    size_t count = 0;
    while (p < end) {
      const auto* lf =
          static_cast<const uint8_t*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const uint8_t* line_end = lf ? lf : end;
      const uint8_t* next = lf ? lf + 1 : end;
      if (line_end > p && line_end[-1] == '\r') --line_end;
      const size_t size = static_cast<size_t>(line_end - p);
      const bool begin_line = size >= 6 && std::memcmp(p, "begin ", 6) == 0;
      // The zero-length line and "end" have fewer than 3 data characters.
      if (size >= 4 && !begin_line) {
        size_t wanted = UUValue(p[0]);
        const uint8_t* s = p + 1;
        const uint8_t* const data_end = line_end;
        uint8_t* d = w.Room(64);
        while (wanted > 0 && s < data_end) {
          unsigned c[4] = {0, 0, 0, 0};
          for (int i = 0; i < 4 && s < data_end; ++i) c[i] = UUValue(*s++);
          const uint8_t bytes[3] = {static_cast<uint8_t>(c[0] << 2 | c[1] >> 4),
                                    static_cast<uint8_t>((c[1] & 15) << 4 | c[2] >> 2),
                                    static_cast<uint8_t>((c[2] & 3) << 6 | c[3])};
          const size_t keep = std::min<size_t>(wanted, 3);
          std::memcpy(d, bytes, keep);
          d += keep;
          wanted -= keep;
        }
        w.Commit(d);
      }
      p = next;
      if (++count >= codec::kYieldEvery) {
        platform::Yield();
        count = 0;
      }
      if (cancelled_) return {};
    }
    w.Flush();
    return out;
  } catch (...) {
    throw detail::CurrentException();
  }
}

}  // namespace postwing
