#include "codecs/base64.hpp"

#include <array>
#include <cstring>
#include <memory>

#include "codecs/codec_support.hpp"
#include "core/error_report.hpp"

namespace postwing {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Tables {
  // The two alphabet characters of a 12-bit value: one look-up per half group.
  std::array<std::array<uint8_t, 2>, 4096> pair{};
  // Characters outside the alphabet ("=" included) decode as 0.
  std::array<uint8_t, 256> value{};
};

constexpr Tables MakeTables() {
  Tables t;
  for (size_t v = 0; v < 4096; ++v) {
    t.pair[v][0] = static_cast<uint8_t>(kAlphabet[v >> 6]);
    t.pair[v][1] = static_cast<uint8_t>(kAlphabet[v & 63]);
  }
  for (size_t v = 0; v < 64; ++v) t.value[static_cast<uint8_t>(kAlphabet[v])] = uint8_t(v);
  return t;
}

constexpr Tables kTables = MakeTables();

inline uint8_t* EncodeGroups(const uint8_t* s, size_t groups, uint8_t* d) {
  for (size_t g = 0; g < groups; ++g, s += 3, d += 4) {
    const uint32_t v = (uint32_t{s[0]} << 16) | (uint32_t{s[1]} << 8) | s[2];
    std::memcpy(d, kTables.pair[v >> 12].data(), 2);
    std::memcpy(d + 2, kTables.pair[v & 0xFFF].data(), 2);
  }
  return d;
}

// The 4 characters of the last 1 or 2 bytes.
inline void EncodeTail(const uint8_t* s, size_t r, uint8_t* d) {
  const uint8_t b0 = s[0];
  const uint8_t b1 = r == 2 ? s[1] : 0;
  d[0] = static_cast<uint8_t>(kAlphabet[b0 >> 2]);
  d[1] = static_cast<uint8_t>(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
  d[2] = r == 2 ? static_cast<uint8_t>(kAlphabet[(b1 & 15) << 2]) : '=';
  d[3] = '=';
}

inline size_t EncodedLength(size_t n) {
  return (n / 3 + (n % 3 ? 1 : 0)) * 4;
}

// The file shrank while it was read.
constexpr int32_t kErrInputPastEnd = 62;

int16_t EffectiveSpan(int16_t& span_size) {
  if (span_size == 0) span_size = Base64::kDefaultSpanSize;
  if (span_size < 0) detail::RaiseRuntimeError(detail::kErrInvalidProcedureCall);
  return span_size;
}

// span + StrAryToStr of an encoded array: lines of s characters, each with CR LF, the last
// line cut at its first NUL (the unwritten rest after a Cancel).
std::string LayOutLines(const uint8_t* e, size_t len, size_t s) {
  std::string text;
  if (len == 0) return text;
  const size_t lines = len / s + (len % s ? 1 : 0);
  codec::ChunkWriter<std::string> w(text, len + 2 * lines);
  for (size_t i = 0; i < lines; ++i) {
    const uint8_t* line = e + i * s;
    size_t size = std::min(s, len - i * s);
    if (i + 1 == lines) {
      const void* nul = std::memchr(line, 0, size);
      if (nul) size = static_cast<size_t>(static_cast<const uint8_t*>(nul) - line);
    }
    w.Put(std::string_view(reinterpret_cast<const char*>(line), size));
    w.Put("\r\n");
  }
  w.Flush();
  return text;
}

// The lines of n bytes taken from source (s a multiple of 4), straight into the final
// layout. After a cancel: with keep_layout the text that Encode, span and StrAryToStr give
// for a cancelled Encode (unwritten characters NUL, the last line cut at its first NUL),
// otherwise the empty text.
template <class Source>
std::string LinesFrom(Source& source, size_t n, size_t s, const bool& cancelled, bool keep_layout) {
  std::string text;
  if (n == 0) return text;
  const size_t len = EncodedLength(n);
  const size_t lines = len / s + (len % s ? 1 : 0);
  codec::ChunkWriter<std::string> w(text, len + 2 * lines);
  const size_t per_line = s / 4;
  size_t column = 0;  // groups in the current line
  // Counts groups just written; a full line gets its CR LF.
  auto after_groups = [&](uint8_t* d, size_t groups) {
    column += groups;
    if (column == per_line) {
      d[0] = '\r';
      d[1] = '\n';
      d += 2;
      column = 0;
    }
    return d;
  };
  const size_t done = codec::RunYielding(n / 3, cancelled, [&](size_t, size_t count) {
    const uint8_t* src = source.Take(3 * count);
    while (count > 0) {
      const size_t take = std::min(count, per_line - column);
      uint8_t* d = w.Room(4 * take + 2);
      w.Commit(after_groups(EncodeGroups(src, take, d), take));
      src += 3 * take;
      count -= take;
    }
  });
  const size_t r = n % 3;
  if (!keep_layout && cancelled) return {};
  // After a cancel (memory only) the groups left out are skipped to reach the tail.
  if (done < n / 3) source.Take(3 * (n / 3 - done));
  if (r) {
    uint8_t* d = w.Room(6);
    EncodeTail(source.Take(r), r, d);
    w.Commit(after_groups(d + 4, 1));
  }
  const size_t written = 4 * done + (r ? 4 : 0);
  if (written < len) {
    const size_t last_start = (lines - 1) * s;
    size_t pos = written;
    while (pos < last_start) {
      const size_t take = std::min(4 * (per_line - column), last_start - pos);
      w.PutFill(take, 0);
      pos += take;
      column += take / 4;
      if (column == per_line) {
        w.Put("\r\n");
        column = 0;
      }
    }
    if (written <= last_start) w.Put("\r\n");  // the last line, cut to nothing
  }
  if (column > 0) w.Put("\r\n");
  w.Flush();
  return text;
}

}  // namespace

void codec::AppendBase64(std::string& out, std::string_view bytes) {
  const size_t start = out.size();
  out.resize(start + EncodedLength(bytes.size()));
  const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
  auto* d = reinterpret_cast<uint8_t*>(out.data() + start);
  d = EncodeGroups(in, bytes.size() / 3, d);
  if (bytes.size() % 3) EncodeTail(in + bytes.size() / 3 * 3, bytes.size() % 3, d);
}

void Base64::Load(const std::string& strPathName, ByteArray& aryOut) {
  try {
    codec::InputFile file(strPathName);
    const size_t size = static_cast<size_t>(file.Size());
    aryOut.clear();
    aryOut.reserve(size);
    codec::AdviseLargeBuffer(aryOut.data(), size);
    // Pieces stay in cache between the read and the append.
    constexpr size_t kPiece = 128 * 1024;
    auto piece = std::make_unique<char[]>(kPiece);
    // One step is one byte, as the yield rhythm of Load is counted; reading runs ahead of
    // the steps by at most one piece.
    const size_t done = codec::RunYielding(size, cancelled_, [&](size_t first, size_t count) {
      while (aryOut.size() < first + count) {
        const size_t got = file.Read(reinterpret_cast<uint8_t*>(piece.get()),
                                     std::min(kPiece, size - aryOut.size()));
        if (got == 0) detail::RaiseRuntimeError(kErrInputPastEnd, "Input past end of file");
        aryOut.append(piece.get(), got);
      }
    });
    if (done < size) {
      // Cancelled: what was read past the stop and the rest stay zero.
      std::fill(aryOut.begin() + static_cast<std::ptrdiff_t>(done), aryOut.end(), '\0');
      aryOut.resize(size, '\0');
    }
  } catch (...) {
    throw detail::CurrentException();
  }
}

void Base64::Save(const ByteArray& aryIn, const std::string& strPathName) {
  codec::WriteFileBytes(strPathName, reinterpret_cast<const uint8_t*>(aryIn.data()), aryIn.size());
}

void Base64::StrToAry(std::string_view strIn, ByteArray& aryOut) {
  aryOut.assign(strIn);
}

void Base64::AryToStr(const ByteArray& aryIn, std::string& strOut) {
  strOut = aryIn;
}

void Base64::Encode(const ByteArray& aryIn, ByteArray& aryOut) {
  try {
    const size_t n = aryIn.size();
    const size_t out_len = EncodedLength(n);
    codec::ChunkWriter<ByteArray> w(aryOut, out_len);
    const auto* in = reinterpret_cast<const uint8_t*>(aryIn.data());
    const size_t done = codec::RunYielding(n / 3, cancelled_, [&](size_t first, size_t count) {
      uint8_t* d = w.Room(4 * count);
      w.Commit(EncodeGroups(in + 3 * first, count, d));
    });
    if (n % 3) {
      uint8_t* d = w.Room(4);
      EncodeTail(in + 3 * (n / 3), n % 3, d);
      w.Commit(d + 4);
    }
    w.PutFill(out_len - 4 * done - (n % 3 ? 4 : 0), 0);
    w.Flush();
  } catch (...) {
    throw detail::CurrentException();
  }
}

void Base64::Decode(const ByteArray& aryIn, ByteArray& aryOut) {
  try {
    const size_t n = aryIn.size();
    if (n % 4) detail::RaiseRuntimeError(detail::kErrSubscriptOutOfRange);
    const auto* in = reinterpret_cast<const uint8_t*>(aryIn.data());
    size_t tail = 0;
    size_t m = n;
    if (n > 0 && in[n - 1] == '=') {
      tail = (n >= 2 && in[n - 2] == '=') ? 1 : 2;
      m = n - 4;
    }
    codec::ChunkWriter<ByteArray> w(aryOut, 3 * (m / 4) + tail);
    const auto& val = kTables.value;
    for (size_t i = 0; i < m;) {
      const size_t groups = std::min<size_t>((m - i) / 4, 1024);
      uint8_t* d = w.Room(3 * groups);
      for (size_t g = 0; g < groups; ++g, i += 4, d += 3) {
        const uint32_t v = (uint32_t{val[in[i]]} << 18) | (uint32_t{val[in[i + 1]]} << 12) |
                           (uint32_t{val[in[i + 2]]} << 6) | val[in[i + 3]];
        d[0] = static_cast<uint8_t>(v >> 16);
        d[1] = static_cast<uint8_t>(v >> 8);
        d[2] = static_cast<uint8_t>(v);
      }
      w.Commit(d);
    }
    if (tail) {
      const uint8_t d0 = val[in[n - 4]], d1 = val[in[n - 3]], d2 = val[in[n - 2]];
      uint8_t* d = w.Room(2);
      d[0] = static_cast<uint8_t>((d0 << 2) | ((d1 >> 4) & 3));
      d[1] = static_cast<uint8_t>(((d1 & 15) << 4) | ((d2 >> 2) & 15));
      w.Commit(d + tail);
    }
    w.Flush();
  } catch (...) {
    throw detail::CurrentException();
  }
}

void Base64::span(const ByteArray& aryIn, std::vector<std::string>& aryOut, int16_t& SpanSize,
                  std::string_view SpanSeparator) {
  try {
    const size_t s = static_cast<size_t>(EffectiveSpan(SpanSize));
    const size_t n = aryIn.size();
    aryOut.clear();
    if (n == 0) return;
    const size_t lines = n / s + (n % s ? 1 : 0);
    aryOut.reserve(lines);
    const char* in = aryIn.data();
    for (size_t i = 0; i < lines; ++i) {
      const size_t size = std::min(s, n - i * s);
      std::string& line = aryOut.emplace_back();
      line.reserve(s + SpanSeparator.size());
      line.append(in + i * s, size);
      if (size == s) line.append(SpanSeparator);
    }
    std::string& last = aryOut.back();
    const size_t nul = last.find('\0');
    if (nul != std::string::npos) last.resize(nul);
  } catch (...) {
    throw detail::CurrentException();
  }
}

void Base64::Unspan(const std::vector<std::string>& aryIn, ByteArray& aryOut, int16_t& SpanSize,
                    std::string_view SpanSeparator) {
  try {
    const size_t s = static_cast<size_t>(EffectiveSpan(SpanSize));
    aryOut.clear();
    if (aryIn.empty()) return;
    auto payload = [&](const std::string& line) {
      std::string_view text(line);
      if (!SpanSeparator.empty()) text = text.substr(0, text.find(SpanSeparator));
      return text;
    };
    // A short last line may come without its separator (span leaves it off).
    const std::string_view last = payload(aryIn.back());
    const bool last_short = last.size() < s;
    const size_t full = aryIn.size() - (last_short ? 1 : 0);
    aryOut.reserve(s * full + (last_short ? last.size() : 0));
    for (size_t i = 0; i < full; ++i) {
      const std::string_view text = payload(aryIn[i]);
      if (text.size() < s) detail::RaiseRuntimeError(detail::kErrSubscriptOutOfRange);
      aryOut.insert(aryOut.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(s));
    }
    if (last_short) aryOut.insert(aryOut.end(), last.begin(), last.end());
  } catch (...) {
    throw detail::CurrentException();
  }
}

std::string Base64::StrAryToStr(const std::vector<std::string>& StrAry) {
  try {
    size_t total = 0;
    for (const auto& line : StrAry) total += line.size() + 2;
    std::string text;
    codec::ChunkWriter<std::string> w(text, total);
    for (const auto& line : StrAry) {
      w.Put(line);
      w.Put("\r\n");
    }
    w.Flush();
    return text;
  } catch (...) {
    throw detail::CurrentException();
  }
}

std::string Base64::EncodeLines(std::string_view aryIn, int16_t& SpanSize) {
  try {
    const size_t s = static_cast<size_t>(EffectiveSpan(SpanSize));
    if (s % 4 != 0) {
      // Groups straddle lines: encode first, then lay out.
      ByteArray encoded;
      Encode(ByteArray(aryIn), encoded);
      return LayOutLines(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size(), s);
    }
    codec::MemoryPieces source(aryIn);
    return LinesFrom(source, aryIn.size(), s, cancelled_, true);
  } catch (...) {
    throw detail::CurrentException();
  }
}

std::string Base64::EncodeFileLines(const std::string& strPathName, int16_t& SpanSize) {
  try {
    const size_t s = static_cast<size_t>(EffectiveSpan(SpanSize));
    if (s % 4 != 0) {
      ByteArray bytes;
      Load(strPathName, bytes);
      if (cancelled_) return {};
      return EncodeLines(bytes, SpanSize);
    }
    codec::InputFile file(strPathName);
    codec::FilePieces source(file);
    return LinesFrom(source, static_cast<size_t>(file.Size()), s, cancelled_, false);
  } catch (...) {
    throw detail::CurrentException();
  }
}

Base64::FileLines::FileLines(Base64& codec, const std::string& strPathName, size_t piece_bytes)
    : codec_(codec), piece_bytes_(piece_bytes) {
  try {
    // Pieces of whole lines: each one starts where a line starts.
    if (piece_bytes_ == 0 || piece_bytes_ % 57 != 0) {
      detail::RaiseRuntimeError(detail::kErrInvalidProcedureCall);
    }
    file_ = std::make_unique<codec::InputFile>(strPathName);
    source_ = std::make_unique<codec::FilePieces>(*file_);
    size_ = file_->Size();
  } catch (...) {
    throw detail::CurrentException();
  }
}

Base64::FileLines::~FileLines() = default;

bool Base64::FileLines::Next(std::string& text) {
  try {
    text.clear();
    if (done_ >= size_ || codec_.cancelled_) return false;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece_bytes_, size_ - done_));
    text = LinesFrom(*source_, n, kDefaultSpanSize, codec_.cancelled_, false);
    done_ += n;
    if (codec_.cancelled_) {
      text.clear();
      return false;
    }
    return true;
  } catch (...) {
    throw detail::CurrentException();
  }
}

}  // namespace postwing
