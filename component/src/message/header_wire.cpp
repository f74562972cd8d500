#include "message/header_wire.hpp"

#include <algorithm>
#include <vector>

#include "codecs/base64.hpp"
#include "message/address_list.hpp"
#include "message/field_check.hpp"
#include "message/mime_texts.hpp"
#include "message/text_class.hpp"

namespace postwing::detail {

namespace {

// RFC 2047 2: an encoded word is at most 75 characters.
constexpr size_t kEncodedWordLimit = 75;
constexpr std::string_view kHex = "0123456789ABCDEF";

enum class Kind { kText, kAddresses, kParameters, kStructured };

Kind KindOf(std::string_view key) {
  static constexpr std::string_view kAddressKeys[] = {"from",
                                                      "sender",
                                                      "reply-to",
                                                      "to",
                                                      "cc",
                                                      "bcc",
                                                      "resent-from",
                                                      "resent-sender",
                                                      "resent-to",
                                                      "resent-cc",
                                                      "resent-bcc",
                                                      "disposition-notification-to",
                                                      "return-receipt-to",
                                                      "errors-to",
                                                      "mail-followup-to",
                                                      "mail-reply-to"};
  // Fields whose syntax has no place for an encoded word: written as stored.
  static constexpr std::string_view kStructuredKeys[] = {
      "date",        "message-id",        "in-reply-to",
      "references",  "mime-version",      "content-transfer-encoding",
      "content-id",  "return-path",       "received",
      "resent-date", "resent-message-id", "dkim-signature",
      "content-md5"};
  const std::string k = LowerCase(TrimWsp(key));
  if (k == "content-type" || k == "content-disposition") return Kind::kParameters;
  for (auto a : kAddressKeys) {
    if (k == a) return Kind::kAddresses;
  }
  for (auto s : kStructuredKeys) {
    if (k == s) return Kind::kStructured;
  }
  return Kind::kText;
}

bool HasText(std::string_view piece) {
  return piece.find_first_not_of(" \t") != std::string_view::npos;
}

// The field's lines as they are laid out: pieces are appended, and a piece that begins with
// a blank may start a new line (a fold) when it would pass the fold width.
class Lines {
 public:
  explicit Lines(std::string_view key) : out_(key) {
    out_ += ": ";
    first_text_ = out_.size();
  }
  size_t Column() const { return out_.size() - line_start_; }
  // Something other than the field name is on the current line: folding here leaves no
  // line of blanks behind.
  bool CanFold() const { return out_.size() > (line_start_ == 0 ? first_text_ : line_start_); }
  void Fold() {
    out_ += "\r\n";
    line_start_ = out_.size();
  }
  void Raw(std::string_view text) { out_.append(text); }
  // tail: what will follow the piece on its line (a separator), counted for the fit.
  void Add(std::string_view piece, size_t tail = 0) {
    if (!piece.empty() && IsBlank(piece.front()) && HasText(piece) && CanFold() &&
        Column() + piece.size() + tail > kFoldWidth) {
      Fold();
    }
    out_.append(piece);
  }
  // A piece that may stand glued to what precedes it; it gets a blank of its own when it
  // has to start a new line.
  void AddGlued(std::string_view piece, size_t tail) {
    if (!piece.empty() && !IsBlank(piece.front()) && CanFold() &&
        Column() + piece.size() + tail > kFoldWidth) {
      Fold();
      out_ += ' ';
    }
    Add(piece, tail);
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
  size_t line_start_ = 0;
  size_t first_text_ = 0;
};

// ---- RFC 2047 encoded words ----

bool IsQSafe(unsigned char c) {
  // The characters a Q word may hold as they are even inside a phrase (RFC 2047 5 (3)).
  return IsAsciiAlnum(static_cast<char>(c)) || c == '!' || c == '*' || c == '+' || c == '-' ||
         c == '/';
}

size_t QLength(unsigned char c) {
  return c == ' ' || IsQSafe(c) ? 1 : 3;
}

void AppendQ(std::string& out, std::string_view bytes) {
  for (unsigned char c : bytes) {
    if (c == ' ') {
      out += '_';
    } else if (IsQSafe(c)) {
      out += static_cast<char>(c);
    } else {
      out += '=';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
}

// The length of the character that starts at bytes[at]: a whole UTF-8 sequence in UTF-8
// text, one byte in a single-byte charset.
size_t CharLength(std::string_view bytes, size_t at, bool utf8) {
  const auto c = static_cast<unsigned char>(bytes[at]);
  size_t n = 1;
  if (utf8 && c >= 0xC0) n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
  return std::min(n, bytes.size() - at);
}

class WordEncoder {
 public:
  WordEncoder(std::string_view bytes, std::string_view charset)
      : bytes_(bytes), utf8_(charset == "utf-8") {
    // Q keeps mostly-ASCII text readable; B is shorter for the rest.
    size_t q = 0;
    for (unsigned char c : bytes) q += QLength(c);
    b_ = q * 2 > (bytes.size() + 2) / 3 * 4 * 3;
    prefix_ = "=?" + std::string(charset) + (b_ ? "?B?" : "?Q?");
  }
  size_t Overhead() const { return prefix_.size() + 2; }
  // How many bytes from pos, whole characters only, encode within room characters.
  size_t Fit(size_t pos, size_t room) const {
    size_t take = 0;
    size_t q = 0;
    while (pos + take < bytes_.size()) {
      const size_t n = CharLength(bytes_, pos + take, utf8_);
      if (b_) {
        if ((take + n + 2) / 3 * 4 > room) break;
      } else {
        size_t more = 0;
        for (size_t i = 0; i < n; ++i) more += QLength(bytes_[pos + take + i]);
        if (q + more > room) break;
        q += more;
      }
      take += n;
    }
    return take;
  }
  size_t CharAt(size_t pos) const { return CharLength(bytes_, pos, utf8_); }
  std::string Word(size_t pos, size_t take) const {
    std::string word = prefix_;
    if (b_) {
      codec::AppendBase64(word, bytes_.substr(pos, take));
    } else {
      AppendQ(word, bytes_.substr(pos, take));
    }
    word += "?=";
    return word;
  }

 private:
  std::string_view bytes_;
  bool utf8_;
  bool b_ = false;
  std::string prefix_;
};

// Writes bytes as encoded words, the first after separator (blanks of the text, or nothing
// where no fold may come), the others each after one blank, which readers drop between
// encoded words. Each word fills what is left of its line; tail is what follows the last.
void AddEncodedRun(Lines& lines, std::string_view separator, std::string_view bytes,
                   std::string_view charset, size_t tail) {
  const WordEncoder encoder(bytes, charset);
  const size_t overhead = encoder.Overhead();
  const size_t full = encoder.Fit(0, kEncodedWordLimit - overhead);
  size_t pos = 0;
  while (pos < bytes.size()) {
    auto fit_here = [&] {
      const size_t column = lines.Column() + separator.size();
      if (column + overhead >= kFoldWidth) return size_t{0};
      const size_t room = std::min(kEncodedWordLimit, kFoldWidth - column) - overhead;
      size_t take = encoder.Fit(pos, room);
      if (pos + take == bytes.size() && tail > 0)
        take = encoder.Fit(pos, room > tail ? room - tail : 0);
      return take;
    };
    size_t take = fit_here();
    const size_t rest = bytes.size() - pos;
    // A new line when this one would hold only a scrap of what is left.
    if (take < rest && take < full / 2 && !separator.empty() && lines.CanFold()) {
      lines.Fold();
      take = fit_here();
    }
    take = std::max(take, encoder.CharAt(pos));
    lines.Raw(separator);
    lines.Raw(encoder.Word(pos, take));
    pos += take;
    separator = " ";
  }
}

// ---- unstructured text ----

struct Word {
  std::string_view space;  // the blanks before it
  std::string_view word;
};

std::vector<Word> WordsOf(std::string_view text) {
  std::vector<Word> words;
  size_t i = 0;
  while (i < text.size()) {
    const size_t start = i;
    while (i < text.size() && IsBlank(text[i])) ++i;
    const size_t word = i;
    while (i < text.size() && !IsBlank(text[i])) ++i;
    words.push_back({text.substr(start, word - start), text.substr(word, i - word)});
  }
  return words;
}

// A word a line cannot hold without encoding (encoded words can be folded).
bool TooLongForALine(std::string_view word) {
  return word.size() + 1 > kLineLimit;
}

// Words outside ASCII go out as encoded words. Neighbouring ones form one run, blanks
// included, since readers drop the blanks between encoded words; for the same reason a
// run next to an encoded word of the host's takes the blanks between them in.
void AddText(Lines& lines, std::string_view text, std::string_view charset) {
  std::vector<Word> words = WordsOf(text);
  // (A host's encoded word too long for a line is left as it is, and found too long.)
  auto encode = [](std::string_view word) {
    return HasEightBit(word) || (TooLongForALine(word) && !IsEncodedWord(word));
  };
  for (size_t i = 0; i < words.size();) {
    if (!encode(words[i].word)) {
      lines.Add(std::string(words[i].space).append(words[i].word));
      ++i;
      continue;
    }
    size_t j = i;
    while (j + 1 < words.size() && encode(words[j + 1].word)) ++j;
    std::string run;
    std::string_view separator = words[i].space;
    if (i > 0 && IsEncodedWord(words[i - 1].word)) {
      run.append(words[i].space);
      separator = " ";
    }
    for (size_t k = i; k <= j; ++k) {
      if (k > i) run.append(words[k].space);
      run.append(words[k].word);
    }
    if (j + 1 < words.size() && IsEncodedWord(words[j + 1].word)) {
      run.append(words[j + 1].space);
      words[j + 1].space = " ";
    }
    AddEncodedRun(lines, separator, run, charset, 0);
    i = j + 1;
  }
}

void AddStructured(Lines& lines, std::string_view text) {
  for (const Word& w : WordsOf(text)) lines.Add(std::string(w.space).append(w.word));
}

// ---- address lists ----

bool IsAtext(unsigned char c) {
  return IsAsciiAlnum(static_cast<char>(c)) ||
         std::string_view("!#$%&'*+-/=?^_`{|}~").find(static_cast<char>(c)) !=
             std::string_view::npos;
}

std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

// The phrase's text as a reader shows it: quotes taken away, escapes resolved.
std::string PhraseText(std::string_view phrase) {
  std::string text;
  for (size_t i = 0; i < phrase.size(); ++i) {
    const size_t end = phrase[i] == '"' ? SpanEnd(phrase, i) : std::string_view::npos;
    if (end == std::string_view::npos) {
      text += phrase[i];
      continue;
    }
    for (size_t k = i + 1; k < end; ++k) {
      if (phrase[k] == '\\' && k + 1 < end) ++k;
      text += phrase[k];
    }
    i = end;
  }
  return text;
}

// Each display name is declared in its own charset.
void AddPhrase(Lines& lines, std::string_view separator, std::string_view phrase) {
  const std::string text = PhraseText(phrase);
  const std::vector<Word> words = WordsOf(text);
  const bool too_long = std::any_of(words.begin(), words.end(),
                                    [](const Word& w) { return TooLongForALine(w.word); });
  if (HasEightBit(text) || too_long) {
    AddEncodedRun(lines, separator, text, CharsetOf(text), 0);
    return;
  }
  const bool atoms = std::all_of(phrase.begin(), phrase.end(), [](char c) {
    return IsBlank(c) || IsAtext(static_cast<unsigned char>(c));
  });
  if (atoms) {
    bool first = true;
    for (const Word& w : WordsOf(phrase)) {
      lines.Add(std::string(first ? separator : w.space).append(w.word));
      first = false;
    }
    return;
  }
  const bool one_quoted_string = phrase.front() == '"' && SpanEnd(phrase, 0) == phrase.size() - 1;
  lines.Add(std::string(separator).append(one_quoted_string ? std::string(phrase) : Quoted(text)));
}

void AddEntry(Lines& lines, std::string_view separator, std::string_view entry, size_t tail) {
  size_t lt = std::string_view::npos;
  for (size_t i = 0; i < entry.size() && lt == std::string_view::npos; ++i) {
    const char c = entry[i];
    if (c != '"' && c != '(' && c != '<') continue;
    const size_t end = SpanEnd(entry, i);
    if (end == std::string_view::npos) continue;
    if (c == '<') lt = i;
    i = end;
  }
  if (lt == std::string_view::npos) {
    lines.Add(std::string(separator).append(entry), tail);
    return;
  }
  const std::string_view phrase = TrimWsp(entry.substr(0, lt));
  if (!phrase.empty()) {
    AddPhrase(lines, separator, phrase);
    separator = " ";
  }
  lines.Add(std::string(separator).append(entry.substr(lt)), tail);
}

void AddAddresses(Lines& lines, std::string_view text) {
  const std::vector<std::string_view> entries = SplitAddressList(text);
  for (size_t k = 0; k < entries.size(); ++k) {
    const bool last = k + 1 == entries.size();
    AddEntry(lines, k == 0 ? "" : " ", entries[k], last ? 0 : 1);
    if (!last) lines.Raw(",");
  }
}

// ---- MIME parameters ----

bool IsTokenChar(unsigned char c) {
  return c > 32 && c < 127 &&
         std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) == std::string_view::npos;
}

bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return IsTokenChar(static_cast<unsigned char>(c));
  });
}

// RFC 2231 attribute-char: what an extended value holds without percent-encoding.
bool IsAttributeChar(unsigned char c) {
  return IsTokenChar(c) && c != '*' && c != '\'' && c != '%';
}

size_t PercentLength(std::string_view bytes) {
  size_t n = 0;
  for (unsigned char c : bytes) n += IsAttributeChar(c) ? 1 : 3;
  return n;
}

std::string PercentEncoded(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (IsAttributeChar(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::vector<std::string_view> SplitParameters(std::string_view text) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      const size_t end = SpanEnd(text, i);
      if (end != std::string_view::npos) i = end;
    } else if (text[i] == ';') {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

// RFC 2231 3 and 4: name*0*=charset''..., name*1*=..., each on a line of its own when the
// value is too long for one. quoted: plain (ASCII) sections in quotes instead.
void AddSections(Lines& lines, std::string_view name, std::string_view value, bool quoted,
                 size_t tail) {
  const std::string charset(CharsetOf(value));
  const bool utf8 = charset == "utf-8";
  auto head = [&](size_t n) {
    std::string h(name);
    if (n != SIZE_MAX) h += "*" + std::to_string(n);
    h += quoted ? "=" : "*=";
    if (!quoted && (n == 0 || n == SIZE_MAX)) h += charset + "''";
    return h;
  };
  auto body = [&](std::string_view part) { return quoted ? Quoted(part) : PercentEncoded(part); };
  auto length = [&](std::string_view part) {
    if (!quoted) return PercentLength(part);
    size_t n = 2;
    for (char c : part) n += c == '"' || c == '\\' ? 2 : 1;
    return n;
  };
  if (1 + head(SIZE_MAX).size() + length(value) + tail <= kFoldWidth) {
    lines.AddGlued(head(SIZE_MAX) + body(value), tail);
    return;
  }
  size_t pos = 0;
  for (size_t n = 0; pos < value.size(); ++n) {
    const std::string h = head(n);
    const size_t room = kFoldWidth > h.size() + 2 ? kFoldWidth - h.size() - 2 : 0;
    size_t take = 0;
    while (pos + take < value.size()) {
      const size_t c = CharLength(value, pos + take, utf8);
      if (length(value.substr(pos, take + c)) > room && take > 0) break;
      take += c;
    }
    if (n > 0) lines.Raw(";");
    const bool last = pos + take == value.size();
    lines.AddGlued(h + body(value.substr(pos, take)), last ? tail : 1);
    pos += take;
  }
}

void AddParameters(Lines& lines, std::string_view key, std::string_view text) {
  const std::vector<std::string_view> pieces = SplitParameters(text);
  const bool content_type = LowerCase(TrimWsp(key)) == "content-type";
  lines.Raw(pieces[0]);
  for (size_t k = 1; k < pieces.size(); ++k) {
    lines.Raw(";");
    const std::string_view piece = pieces[k];
    const size_t tail = k + 1 < pieces.size() ? 1 : 0;
    const std::string_view trimmed = TrimWsp(piece);
    const size_t eq = trimmed.find('=');
    const std::string_view name =
        eq == std::string_view::npos ? std::string_view() : TrimWsp(trimmed.substr(0, eq));
    if (name.empty() || name.find('*') != std::string_view::npos) {
      // Not a parameter this writer understands (or one already in RFC 2231 form).
      lines.AddGlued(piece, tail);
      continue;
    }
    const std::string_view raw = TrimWsp(trimmed.substr(eq + 1));
    std::string value(raw);
    bool well_formed = IsToken(raw);
    if (!raw.empty() && raw.front() == '"' && SpanEnd(raw, 0) == raw.size() - 1) {
      value = PhraseText(raw);
      well_formed = true;
    }
    if (!HasEightBit(value)) {
      const std::string written =
          well_formed ? std::string(piece)
                      : std::string(piece.substr(0, piece.find_first_not_of(" \t"))) +
                            std::string(name) + "=" + ParameterValue(value);
      const bool fits = 1 + TrimWsp(written).size() + tail <= kFoldWidth;
      if (fits || content_type) {
        lines.AddGlued(written, tail);
      } else {
        AddSections(lines, name, value, true, tail);
      }
    } else if (content_type && LowerCase(name) == "name") {
      // For readers that know no RFC 2231: encoded words in quotes, as mail programs write.
      // (With room left on its line for a first word of some length.)
      lines.AddGlued(std::string(name) + "=\"", 24);
      AddEncodedRun(lines, "", value, CharsetOf(value), tail + 1);
      lines.Raw("\"");
    } else {
      AddSections(lines, name, value, false, tail);
    }
  }
}

std::string ProblemOf(std::string_view lines, bool utf8) {
  for (unsigned char c : lines) {
    if (c > 127 && !utf8) {
      return "it holds characters outside ASCII where no encoding may stand (an address or "
             "a structured field)";
    }
  }
  size_t start = 0;
  for (;;) {
    const size_t end = lines.find("\r\n", start);
    const size_t length = (end == std::string_view::npos ? lines.size() : end) - start;
    if (length > kLineLimit) {
      return "a line of it would be longer than " + std::to_string(kLineLimit) +
             " characters, with no place to fold it";
    }
    if (end == std::string_view::npos) return {};
    start = end + 2;
  }
}

bool IsBase64Payload(std::string_view p) {
  if (p.size() % 4 != 0) return false;
  size_t pad = 0;
  while (pad < 2 && pad < p.size() && p[p.size() - 1 - pad] == '=') ++pad;
  for (size_t i = 0; i + pad < p.size(); ++i) {
    const char c = p[i];
    const bool ok = IsAsciiAlnum(c) || c == '+' || c == '/';
    if (!ok) return false;
  }
  return true;
}

bool IsHexDigit(char c) {
  return IsAsciiDigit(c) || (AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f');
}

bool IsQPayload(std::string_view p) {
  for (size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c <= ' ' || c > '~' || c == '?') return false;
    if (c == '=') {
      if (i + 2 >= p.size() + 0 || !IsHexDigit(p[i + 1]) || !IsHexDigit(p[i + 2])) return false;
      i += 2;
    }
  }
  return true;
}

}  // namespace

std::string ParameterValue(std::string_view value) {
  return IsToken(value) ? std::string(value) : Quoted(value);
}

bool IsEncodedWord(std::string_view word) {
  if (word.size() < 8 || word.substr(0, 2) != "=?" || word.substr(word.size() - 2) != "?=") {
    return false;
  }
  const std::string_view inner = word.substr(2, word.size() - 4);
  const size_t q = inner.find('?');
  if (q == 0 || q == std::string_view::npos || q + 2 >= inner.size() + 0 || inner[q + 2] != '?') {
    return false;
  }
  for (char c : inner.substr(0, q)) {
    if (!IsTokenChar(static_cast<unsigned char>(c))) return false;
  }
  const char encoding = inner[q + 1];
  const std::string_view payload = inner.substr(q + 3);
  if (encoding == 'B' || encoding == 'b') return IsBase64Payload(payload);
  if (encoding == 'Q' || encoding == 'q') return IsQPayload(payload);
  return false;
}

WireField FieldWireForm(std::string_view key, std::string_view stored) {
  // The host's own folds are taken out; the text is folded afresh.
  const std::string text = Unfold(stored);
  Lines lines(key);
  switch (KindOf(key)) {
    case Kind::kText:
      AddText(lines, text, CharsetOf(text));
      break;
    case Kind::kAddresses:
      AddAddresses(lines, text);
      break;
    case Kind::kParameters:
      AddParameters(lines, key, text);
      break;
    case Kind::kStructured:
      AddStructured(lines, text);
      break;
  }
  WireField field;
  field.lines = lines.Take();
  field.problem = ProblemOf(field.lines, false);
  // An address outside ASCII can only go as it is, in a message sent with SMTPUTF8.
  field.utf8_only = !field.problem.empty() && KindOf(key) == Kind::kAddresses &&
                    ProblemOf(field.lines, true).empty();
  return field;
}

}  // namespace postwing::detail
