// Quoted-printable-encodes a file and writes the text to standard output.
//   pw_qp [--library-read] FILE
// The file is read whole first, in one pass as Python's open().read() does;
// --library-read reads it through the module function ReadWholeFile instead, as
// Utilities.ReadFile does for an attachment.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "codecs/codec_support.hpp"
#include "codecs/quoted_printable.hpp"
#include "platform/module.hpp"
#include "postwing/exception.hpp"

namespace {

std::string ReadAll(const std::string& path) {
  postwing::codec::InputFile file(path);
  std::string text;
  text.reserve(static_cast<size_t>(file.Size()));
  postwing::codec::AdviseLargeBuffer(text.data(), text.capacity());
  constexpr size_t kPiece = 256 * 1024;
  auto piece = std::make_unique<uint8_t[]>(kPiece);
  while (size_t got = file.Read(piece.get(), kPiece))
    text.append(reinterpret_cast<const char*>(piece.get()), got);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  bool library_read = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--library-read") == 0) {
      library_read = true;
    } else {
      path = argv[i];
    }
  }
  if (!path) {
    std::fprintf(stderr, "usage: pw_qp [--library-read] FILE\n");
    return 2;
  }
  try {
    postwing::QuotedPrintable qp;
    const std::string data = library_read ? postwing::platform::ReadWholeFile(path) : ReadAll(path);
    const std::string text = qp.Encode(data);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return 1;
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const postwing::Exception& e) {
    std::fprintf(stderr, "pw_qp: %d %s\n", e.Number(), e.Description().c_str());
    return 1;
  }
}
