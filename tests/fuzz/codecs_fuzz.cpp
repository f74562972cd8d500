// The three encoders against their decoders, and the decoders on arbitrary text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codecs/base64.hpp"
#include "codecs/quoted_printable.hpp"
#include "codecs/uuencode.hpp"
#include "postwing/exception.hpp"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "codecs_fuzz: %s\n", what);
    std::abort();
  }
}

std::string WithoutLineEnds(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  postwing::QuotedPrintable qp;
  const std::string qp_text = qp.Encode(input);
  Check(qp.Decode(qp_text) == input, "quoted-printable round trip");
  // Lines of at most 76 characters, CR LF only, 7-bit printable.
  size_t line = 0;
  for (size_t i = 0; i < qp_text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(qp_text[i]);
    if (c == '\r') {
      Check(i + 1 < qp_text.size() && qp_text[i + 1] == '\n', "quoted-printable lone CR");
      Check(line <= 76, "quoted-printable line over 76");
      line = 0;
      ++i;
      continue;
    }
    Check(c >= 32 && c < 127, "quoted-printable byte outside 32-126");
    ++line;
  }
  Check(line == 0, "quoted-printable text without its final line end");
  (void)qp.Decode(input);

  postwing::Base64 b64;
  b64.Init();
  postwing::ByteArray encoded;
  postwing::ByteArray decoded;
  b64.Encode(input, encoded);
  Check(encoded.size() % 4 == 0, "base64 length");
  b64.Decode(encoded, decoded);
  Check(decoded == input, "base64 round trip");
  int16_t span = 0;
  const std::string lines = b64.EncodeLines(input, span);
  Check(WithoutLineEnds(lines) == encoded, "base64 lines hold the encoding");
  try {
    b64.Decode(input, decoded);
  } catch (const postwing::Exception&) {
    Check(input.size() % 4 != 0, "base64 decode refused a whole text");
  }

  postwing::UUEncode uu;
  const std::string uu_text = uu.UUEncodeData(input, "fuzz.bin");
  Check(uu_text.rfind("begin 644 fuzz.bin\r\n", 0) == 0, "uuencode begin line");
  Check(uu.UUDecode(uu_text) == input, "uuencode round trip");
  (void)uu.UUDecode(input);
  return 0;
}
