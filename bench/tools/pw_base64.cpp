// Base64-encodes a file the way message assembly does (Load, then the 76-character lines,
// each ended by CR LF) and writes the text to standard output.
//   pw_base64 [--three-calls | --stream] FILE
// --three-calls uses Encode, span and StrAryToStr instead of the one-pass layout;
// --stream encodes the file read in pieces (EncodeFileLines), never holding it whole.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codecs/base64.hpp"
#include "postwing/exception.hpp"

int main(int argc, char** argv) {
  enum { kLoadAndLines, kThreeCalls, kStream } mode = kLoadAndLines;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--three-calls") == 0) {
      mode = kThreeCalls;
    } else if (std::strcmp(argv[i], "--stream") == 0) {
      mode = kStream;
    } else {
      path = argv[i];
    }
  }
  if (!path) {
    std::fprintf(stderr, "usage: pw_base64 [--three-calls | --stream] FILE\n");
    return 2;
  }
  try {
    postwing::Base64 codec;
    codec.Init();
    int16_t size = 76;
    std::string text;
    if (mode == kStream) {
      text = codec.EncodeFileLines(path, size);
    } else {
      postwing::ByteArray bytes;
      codec.Load(path, bytes);
      if (mode == kThreeCalls) {
        postwing::ByteArray encoded;
        codec.Encode(bytes, encoded);
        std::vector<std::string> lines;
        codec.span(encoded, lines, size, "");
        text = codec.StrAryToStr(lines);
      } else {
        text = codec.EncodeLines(bytes, size);
      }
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return 1;
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const postwing::Exception& e) {
    std::fprintf(stderr, "pw_base64: %d %s\n", e.Number(), e.Description().c_str());
    return 1;
  }
}
