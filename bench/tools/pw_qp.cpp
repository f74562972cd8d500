// Quoted-printable-encodes a file as message assembly does (the whole file read, then
// encoded) and writes the text to standard output.
//   pw_qp FILE
#include <cstdio>
#include <string>

#include "codecs/quoted_printable.hpp"
#include "platform/module.hpp"
#include "postwing/exception.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pw_qp FILE\n");
    return 2;
  }
  try {
    postwing::QuotedPrintable qp;
    const std::string text = qp.Encode(postwing::platform::ReadWholeFile(argv[1]));
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) return 1;
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const postwing::Exception& e) {
    std::fprintf(stderr, "pw_qp: %d %s\n", e.Number(), e.Description().c_str());
    return 1;
  }
}
