#include "codecs/quoted_printable.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "codecs/codec_support.hpp"
#include "core/error_report.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace postwing {
namespace {

// Output positions of a line: a soft break follows once a line holds 73 characters, and a
// space from position 70 on is written "=20", so no line ends in white space.
constexpr size_t kBreakAt = 73;
constexpr size_t kSpaceLimit = 70;

constexpr char kHex[] = "0123456789ABCDEF";

// Bytes written as they are: 33-126 but "=", and the space (unless it ends a line).
constexpr std::array<bool, 256> MakePlain() {
  std::array<bool, 256> t{};
  for (int c = 32; c <= 126; ++c) t[c] = c != '=';
  return t;
}
constexpr std::array<bool, 256> kPlain = MakePlain();

// A byte's encoding in the first 1 or 3 places and its length in the last.
constexpr std::array<std::array<uint8_t, 4>, 256> MakeEscape() {
  std::array<std::array<uint8_t, 4>, 256> t{};
  for (int c = 0; c < 256; ++c) {
    if (kPlain[c]) {
      t[c] = {static_cast<uint8_t>(c), 0, 0, 1};
    } else {
      t[c] = {'=', static_cast<uint8_t>(kHex[c >> 4]), static_cast<uint8_t>(kHex[c & 15]), 3};
    }
  }
  return t;
}
constexpr auto kEscape = MakeEscape();

constexpr std::array<int8_t, 256> MakeHexValue() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int c = 0; c < 10; ++c) t['0' + c] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; ++c) {
    t['A' + c] = static_cast<int8_t>(10 + c);
    t['a' + c] = static_cast<int8_t>(10 + c);
  }
  return t;
}
constexpr std::array<int8_t, 256> kHexValue = MakeHexValue();

#if defined(__SSE2__)
inline __m128i Load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void Store16(uint8_t* d, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
}

// 0xFF where a byte needs "=XX": below 32 or 128 and up (negative as signed), "=", DEL.
inline __m128i Special(__m128i v) {
  return _mm_or_si128(
      _mm_cmplt_epi8(v, _mm_set1_epi8(32)),
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('=')), _mm_cmpeq_epi8(v, _mm_set1_epi8(127))));
}
inline unsigned SpecialMask(const uint8_t* p) {
  return static_cast<unsigned>(_mm_movemask_epi8(Special(Load16(p))));
}
#endif

inline size_t CountSpecial(const uint8_t* p, size_t n) {
  size_t count = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // Byte counters (each special byte is -1) summed before they can overflow.
  while (n - i >= 16) {
    __m128i counters = _mm_setzero_si128();
    for (int k = 0; k < 255 && n - i >= 16; ++k, i += 16)
      counters = _mm_sub_epi8(counters, Special(Load16(p + i)));
    const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
    count += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
#endif
  for (; i < n; ++i) count += (p[i] != ' ' && !kPlain[p[i]]) ? 1 : 0;
  return count;
}

inline bool HardBreakAt(const uint8_t* p, const uint8_t* end) {
  return end - p >= 2 && p[0] == '\r' && p[1] == '\n';
}

}  // namespace

namespace {

// Encodes the bytes from p on, at least up to stop, and returns where it stopped (before
// end). Every choice looks at most 66 bytes ahead, within end: so text encoded up to a stop
// that lies more than 66 bytes before the end of what is known is exactly what the whole
// text gives there, and a long text can be encoded in pieces.
const uint8_t* EncodeSome(const uint8_t* p, const uint8_t* const stop, const uint8_t* const end,
                          size_t& column, codec::ChunkWriter<std::string>& w) {
  // One step writes at most 64 bytes: a block with escapes and one blind 16-byte store.
  constexpr size_t kStep = 64;
  constexpr size_t kBatch = 4096;
  while (p < stop) {
    uint8_t* d = w.Room(kBatch);
    uint8_t* const batch_end = d + kBatch - kStep;
    while (p < stop && d < batch_end) {
#if defined(__SSE2__)
      // Up to 16 bytes that stay below the space limit, and a hard break right after
      // them: a plain block copied whole, otherwise every byte through a table.
      if (end - p >= 32) {
        const __m128i v = Load16(p);
        const unsigned cr =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))));
        const unsigned take = cr ? static_cast<unsigned>(__builtin_ctz(cr)) : 16;
        if (column + take <= kSpaceLimit) {
          const bool hard_break = take < 16 && p[take + 1] == '\n';
          if (take > 0 || hard_break) {
            uint8_t* o = d;
            if (!(static_cast<unsigned>(_mm_movemask_epi8(Special(v))) & ((1u << take) - 1))) {
              Store16(o, v);
              o += take;
            } else {
              // Every byte through a table: itself, or "=" and two hex digits.
              for (unsigned i = 0; i < take; ++i) {
                const uint8_t c = p[i];
                std::memcpy(o, kEscape[c].data(), 4);
                o += kEscape[c][3];
              }
            }
            // A space that ends the line is written "=20".
            if (take > 0 && p[take - 1] == ' ' && p[take] == '\r' && p[take + 1] == '\n') {
              o[-1] = '=';
              o[0] = '2';
              o[1] = '0';
              o += 2;
            }
            const size_t width = static_cast<size_t>(o - d);
            if (column + width <= kSpaceLimit) {
              d = o;
              p += take;
              column += width;
              if (hard_break) {
                d[0] = '\r';
                d[1] = '\n';
                d += 2;
                p += 2;
                column = 0;
              }
              continue;
            }
          }
        }
      }
#endif
      if (column < kSpaceLimit) {
        size_t run = 0;
#if defined(__SSE2__)
        if (end - p >= 16) {
          // Copy 16 bytes blindly; only the plain prefix counts.
          Store16(d, Load16(p));
          const unsigned mask = SpecialMask(p);
          run = mask ? static_cast<size_t>(__builtin_ctz(mask)) : 16;
        } else
#endif
        {
          const size_t limit = std::min<size_t>(kStep, static_cast<size_t>(end - p));
          while (run < limit && kPlain[p[run]]) {
            d[run] = p[run];
            ++run;
          }
        }
        run = std::min(run, kSpaceLimit - column);
        // A space that would end the line (before a hard break or the final soft break)
        // is left to the byte-wise path below.
        if (run > 0 && p[run - 1] == ' ' && (p + run == end || HardBreakAt(p + run, end))) --run;
        if (run > 0) {
          p += run;
          d += run;
          column += run;
          continue;
        }
      }
      if (HardBreakAt(p, end)) {
        d[0] = '\r';
        d[1] = '\n';
        d += 2;
        p += 2;
        column = 0;
        continue;
      }
      if (column >= kBreakAt) {
        d[0] = '=';
        d[1] = '\r';
        d[2] = '\n';
        d += 3;
        column = 0;
      }
      const uint8_t c = *p++;
      const bool ends_line = p == end || HardBreakAt(p, end);
      if (kPlain[c] && !(c == ' ' && (column >= kSpaceLimit || ends_line))) {
        *d++ = c;
        column += 1;
      } else {
        d[0] = '=';
        d[1] = static_cast<uint8_t>(kHex[c >> 4]);
        d[2] = static_cast<uint8_t>(kHex[c & 15]);
        d += 3;
        column += 3;
      }
    }
    w.Commit(d);
  }
  return p;
}

// Bytes a piece's encoding keeps back for the next: the look-ahead of EncodeSome.
constexpr size_t kLookAhead = 66;

size_t ExpectedSize(const uint8_t* p, size_t n) {
  const size_t base = n + 2 * CountSpecial(p, n);
  return base + base / 16 + 64;
}

}  // namespace

std::string QuotedPrintable::Encode(std::string_view Data) {
  try {
    std::string out;
    if (Data.empty()) return out;
    const auto* p = reinterpret_cast<const uint8_t*>(Data.data());
    const uint8_t* const end = p + Data.size();
    codec::ChunkWriter<std::string> w(out, ExpectedSize(p, Data.size()));
    size_t column = 0;
    EncodeSome(p, end, end, column, w);
    // Every text ends with a soft break, so the data gains no line end of its own.
    w.Put("=\r\n");
    w.Flush();
    return out;
  } catch (...) {
    throw detail::CurrentException();
  }
}

std::string QuotedPrintable::Pieces::Feed(std::string_view piece) {
  std::string out;
  if (piece.empty()) return out;
  any_ = true;
  held_.append(piece);
  if (held_.size() <= kLookAhead) return out;
  const auto* p = reinterpret_cast<const uint8_t*>(held_.data());
  const uint8_t* const end = p + held_.size();
  {
    codec::ChunkWriter<std::string> w(out, ExpectedSize(p, held_.size()));
    p = EncodeSome(p, end - kLookAhead, end, column_, w);
    w.Flush();
  }
  held_.erase(0, static_cast<size_t>(p - reinterpret_cast<const uint8_t*>(held_.data())));
  return out;
}

std::string QuotedPrintable::Pieces::Finish() {
  std::string out;
  if (!any_) return out;
  const auto* p = reinterpret_cast<const uint8_t*>(held_.data());
  codec::ChunkWriter<std::string> w(out, ExpectedSize(p, held_.size()) + 3);
  EncodeSome(p, p + held_.size(), p + held_.size(), column_, w);
  w.Put("=\r\n");
  w.Flush();
  held_.clear();
  any_ = false;
  column_ = 0;
  return out;
}

std::string QuotedPrintable::Decode(std::string_view Data) {
  try {
    std::string out;
    const auto* p = reinterpret_cast<const uint8_t*>(Data.data());
    const uint8_t* const end = p + Data.size();
    codec::ChunkWriter<std::string> w(out, Data.size());
    while (p < end) {
      const auto* eq =
          static_cast<const uint8_t*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
      const uint8_t* stop = eq ? eq : end;
      w.Put(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(stop - p)));
      if (!eq) break;
      p = eq + 1;
      if (end - p >= 2) {
        if (p[0] == '\r' && p[1] == '\n') {
          p += 2;
          continue;
        }
        const int hi = kHexValue[p[0]], lo = kHexValue[p[1]];
        if (hi >= 0 && lo >= 0) {
          uint8_t* d = w.Room(1);
          *d = static_cast<uint8_t>(hi << 4 | lo);
          w.Commit(d + 1);
          p += 2;
          continue;
        }
      }
      // Not an escape: the "=" stands for itself.
      uint8_t* d = w.Room(1);
      *d = '=';
      w.Commit(d + 1);
    }
    w.Flush();
    return out;
  } catch (...) {
    throw detail::CurrentException();
  }
}

}  // namespace postwing
