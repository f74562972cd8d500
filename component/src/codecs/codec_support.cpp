#include "codecs/codec_support.hpp"

#include <cstring>

#include "core/error_report.hpp"

namespace postwing::codec {
namespace {

// The file shrank while it was read.
constexpr int32_t kErrInputPastEnd = 62;

}  // namespace

FilePieces::FilePieces(InputFile& file)
    : file_(file), buffer_(std::make_unique<uint8_t[]>(kBuffer)) {}

const uint8_t* FilePieces::Take(size_t count) {
  if (end_ - at_ < count) {
    std::memmove(buffer_.get(), buffer_.get() + at_, end_ - at_);
    end_ -= at_;
    at_ = 0;
    end_ += file_.Read(buffer_.get() + end_, kBuffer - end_);
    if (end_ < count) detail::RaiseRuntimeError(kErrInputPastEnd, "Input past end of file");
  }
  const uint8_t* p = buffer_.get() + at_;
  at_ += count;
  return p;
}

}  // namespace postwing::codec
