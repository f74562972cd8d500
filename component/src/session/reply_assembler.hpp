// Cuts the bytes a server sends into complete SMTP replies.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace postwing::session {

// TCP may split one reply over several reads or join several replies in one: the
// assembler buffers what arrives and hands out whole replies, in order. A line ends with
// LF (normally CR LF); a reply ends with the first line whose fourth character is not "-"
// (so a line holding just the code, or an empty line, ends it too). A reply keeps all its
// lines and line ends exactly as received.
class ReplyAssembler {
 public:
  // Replies above this size are refused: a server cannot make the client buffer without end.
  static constexpr size_t kMaxReplySize = size_t{1} << 20;

  enum class Result { kNone, kReply, kTooLong };

  void Append(std::string_view data);
  // kReply with the next complete reply in reply; kNone when no reply is complete yet;
  // kTooLong when the reply being received (complete or not) exceeds kMaxReplySize.
  Result Next(std::string& reply);
  // Forgets everything buffered (a new connection starts).
  void Clear();
  // Bytes buffered and not yet handed out.
  size_t Pending() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  size_t start_ = 0;       // first byte of the reply being assembled
  size_t line_start_ = 0;  // first byte of the line not yet known to be complete
};

}  // namespace postwing::session
