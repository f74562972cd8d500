// The header encoder and folder on arbitrary field texts: the wire form is 7-bit, within 998
// octets a line, folded only where a reader unfolds it back, and decodes (RFC 2047, RFC 2231)
// to the text the host gave. The decoders are the target's own but for Base64's.
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/base64.hpp"
#include "fuzz/fuzz_check.hpp"
#include "message/address_list.hpp"
#include "message/field_check.hpp"
#include "message/header_wire.hpp"
#include "message/text_class.hpp"

namespace {

using namespace postwing::detail;
using fuzz::Check;

int Hex(char c) {
  static const char digits[] = "0123456789abcdef";
  const char* at = c ? std::strchr(digits, std::tolower(static_cast<unsigned char>(c))) : nullptr;
  return at ? static_cast<int>(at - digits) : -1;
}

// The codec's decoder, not the header writer's own Base64.
std::string DecodeB(std::string_view p) {
  postwing::Base64 codec;
  postwing::ByteArray out;
  codec.Decode(std::string(p), out);
  return out;
}

// "=XX" (Q words, where "_" is a space) or "%XX" (RFC 2231 values) escapes undone.
std::string Unescaped(std::string_view p, char escape) {
  std::string out;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] == escape && i + 2 < p.size() && Hex(p[i + 1]) >= 0 && Hex(p[i + 2]) >= 0) {
      out += static_cast<char>(Hex(p[i + 1]) * 16 + Hex(p[i + 2]));
      i += 2;
    } else {
      out += p[i] == '_' && escape == '=' ? ' ' : p[i];
    }
  }
  return out;
}

struct Decoded {
  std::string charset;
  std::string bytes;
};

Decoded DecodeWord(std::string_view word) {
  const std::string_view inner = word.substr(2, word.size() - 4);
  const size_t q = inner.find('?');
  const std::string_view payload = inner.substr(q + 3);
  const bool b = inner[q + 1] == 'B' || inner[q + 1] == 'b';
  return {std::string(inner.substr(0, q)), b ? DecodeB(payload) : Unescaped(payload, '=')};
}

// RFC 2047 6.2 on unfolded unstructured text: encoded words decoded, the blanks between two
// encoded words dropped.
std::string DecodeText(std::string_view text) {
  std::string out;
  std::string pending;  // blanks since the last word
  bool last_encoded = false;
  size_t i = 0;
  while (i < text.size()) {
    if (IsBlank(text[i])) {
      pending += text[i++];
      continue;
    }
    size_t end = i;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    const std::string_view word = text.substr(i, end - i);
    const bool encoded = IsEncodedWord(word);
    if (!(encoded && last_encoded)) out += pending;
    pending.clear();
    out += encoded ? DecodeWord(word).bytes : std::string(word);
    last_encoded = encoded;
    i = end;
  }
  return out + pending;
}

// The RFC 2231 value of "filename" in an unfolded Content-Disposition (sections in order).
std::string FileNameSections(const std::string& field) {
  std::string out;
  for (int n = -1; n < 1000; ++n) {
    const std::string head = n < 0 ? "filename*=" : "filename*" + std::to_string(n) + "*=";
    size_t at = field.find(head);
    if (at == std::string::npos) {
      if (n < 0) continue;
      break;
    }
    at += head.size();
    size_t end = field.find(';', at);
    std::string_view value(field.data() + at, (end == std::string::npos ? field.size() : end) - at);
    if (n <= 0) value.remove_prefix(value.find("''") + 2);
    out += Unescaped(value, '%');
    if (n < 0) break;
  }
  return out;
}

constexpr std::string_view kKeys[] = {"Subject",      "X-Note",    "TO", "Content-Disposition",
                                      "Content-Type", "Message-ID"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view key = kKeys[data[0] % std::size(kKeys)];
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool file_name = key == "Content-Disposition" && (data[0] & 0x80);
  std::string name;
  if (file_name) {
    // The text is a file name, written as the attachment writes it.
    name = text;
    text = "attachment;filename=\"";
    for (char c : name) {
      if (c == '"' || c == '\\') text += '\\';
      text += c;
    }
    text += '"';
  }
  if (!IsLegalFieldText(text)) return 0;  // refused before anything is written

  const WireField wire = FieldWireForm(key, text);
  const std::string& lines = wire.lines;
  Check(lines.compare(0, key.size() + 2, std::string(key) + ": ") == 0, "the field name");
  if (!wire.problem.empty()) return 0;
  for (unsigned char c : lines) Check(c < 128, "a byte outside ASCII");
  size_t start = 0;
  for (bool first = true;; first = false) {
    const size_t end = lines.find("\r\n", start);
    const std::string_view line(lines.data() + start,
                                (end == std::string::npos ? lines.size() : end) - start);
    Check(line.size() <= kLineLimit, "a line over 998");
    Check(line.find_first_of("\r\n") == std::string_view::npos, "a bare CR or LF");
    if (!first) {
      Check(!line.empty() && IsBlank(line[0]), "a continuation line without its blank");
      Check(line.find_first_not_of(" \t") != std::string_view::npos, "a line of blanks");
    }
    if (end == std::string::npos) break;
    start = end + 2;
  }
  const std::string unfolded = Unfold(lines);
  const std::string value = unfolded.substr(key.size() + 2);
  const std::string given = Unfold(text);

  if (key == "Subject" || key == "X-Note") {
    Check(DecodeText(value) == DecodeText(given), "the text does not decode back");
    // Where the host wrote no encoded word of its own, every word is the encoder's.
    if (given.find("=?") == std::string::npos) {
      for (size_t i = 0; i < value.size();) {
        const size_t end = std::min(value.find_first_of(" \t", i), value.size());
        const std::string_view word(value.data() + i, end - i);
        if (IsEncodedWord(word)) {
          Check(word.size() <= 75, "an encoded word over 75");
          const Decoded d = DecodeWord(word);
          if (d.charset == "utf-8") Check(IsValidUtf8(d.bytes), "a word split inside UTF-8");
        }
        i = end + 1;
      }
    }
  }
  if (key == "TO") {
    // Never folded inside an address: each bracketed address stands whole in the lines
    // (its text, not its brackets: blanks the host put inside them are kept).
    for (std::string_view entry : SplitAddressList(given)) {
      if (entry.find(EnvelopePath(entry)) != std::string_view::npos) {
        Check(lines.find(AddressOf(entry)) != std::string::npos, "an address folded or changed");
      }
    }
  }
  if (file_name && HasEightBit(name)) {
    Check(FileNameSections(value) == Unfold(name), "the file name does not decode back");
  }
  return 0;
}
