#include "assembly/data_writer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using postwing::assembly::DataWriter;

TEST(DataWriter, TransparencyTable) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {".", ".."},                      // the piece starts a line
      {"a\r\n.\r\nb", "a\r\n..\r\nb"},  // a lone dot cannot end the data
      {"..x", "...x"},
      {"a.b\r\n", "a.b\r\n"},                 // only leading dots
      {"ab\r\ncd\r\n.e", "ab\r\ncd\r\n..e"},  // the clean lines before kept as they are
      {"a\nb", "a\r\nb"},                     // bare LF
      {"a\rb", "a\r\nb"},                     // bare CR
      {"a\r", "a\r\n"},                       // bare CR at the end
      {"\n", "\r\n"},
      {"a\r\r\nb", "a\r\n\r\nb"},
      {"a\n.\nb", "a\r\n..\r\nb"},
      {"x\r\n\n.\r\n", "x\r\n\r\n..\r\n"},  // SMTP smuggling: <LF>.<CR><LF>
      {"x\n.\r\n", "x\r\n..\r\n"},
      {"x\r\n.\n", "x\r\n..\r\n"},
      {"x\r.\r", "x\r\n..\r\n"},
      {std::string("nul\0ok", 6), std::string("nul\0ok", 6)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DataWriter::Transparent(c.in), c.out) << "input: " << c.in;
  }
}

}  // namespace
