#include "session/reply_assembler.hpp"

#include <cstring>

namespace postwing::session {

void ReplyAssembler::Append(std::string_view data) {
  // Drop what has been handed out before growing, so the buffer stays near one reply.
  if (start_ > 0 && (start_ == buffer_.size() || start_ >= buffer_.size() / 2)) {
    buffer_.erase(0, start_);
    line_start_ -= start_;
    start_ = 0;
  }
  buffer_.append(data);
}

ReplyAssembler::Result ReplyAssembler::Next(std::string& reply) {
  const char* base = buffer_.data();
  const size_t size = buffer_.size();
  while (line_start_ < size) {
    const void* lf = std::memchr(base + line_start_, '\n', size - line_start_);
    if (lf == nullptr) break;
    const size_t line_end = static_cast<size_t>(static_cast<const char*>(lf) - base) + 1;
    const size_t line_length = line_end - line_start_;
    // The fourth character, when the line has one before its line end.
    const bool continued = line_length > 4 && base[line_start_ + 3] == '-';
    line_start_ = line_end;
    if (line_end - start_ > kMaxReplySize) return Result::kTooLong;
    if (!continued) {
      reply.assign(base + start_, line_end - start_);
      start_ = line_end;
      return Result::kReply;
    }
  }
  if (size - start_ > kMaxReplySize) return Result::kTooLong;
  return Result::kNone;
}

void ReplyAssembler::Clear() {
  buffer_.clear();
  start_ = 0;
  line_start_ = 0;
}

}  // namespace postwing::session
