// What the three codecs share: the yield rhythm, output built without per-character
// appends, and file access that fails with the runtime's file errors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/input_file.hpp"
#include "platform/module.hpp"
#include "platform/quick_yield.hpp"
#include "postwing/event_loop.hpp"

namespace postwing::codec {

// The codecs let the host's events run after every 101st step of a long loop.
inline constexpr size_t kYieldEvery = 101;

// Runs body(first, count) over the steps [0, total) in segments that end at every 101st
// step, lets pending events run after each of those, and stops after the step at which the
// cancel flag is seen (the flag only changes inside a yield, so it is read once per
// segment and once before the start). Returns the number of steps done.
template <class Body>
size_t RunYielding(size_t total, const bool& cancelled, Body&& body) {
  if (total == 0) return 0;
  if (cancelled) {
    body(size_t{0}, size_t{1});
    return 1;
  }
  size_t done = 0;
  while (done < total) {
    const size_t count = std::min(kYieldEvery, total - done);
    body(done, count);
    done += count;
    if (count == kYieldEvery) {
      platform::Yield();
      if (cancelled) break;
    }
  }
  return done;
}

// Large results are touched once, front to back, right after they are reserved.
using platform::AdviseLargeBuffer;

// Builds a large std::string or byte vector through a small scratch buffer, so the result is
// reserved once, filled by raw pointer writes and never zero-filled first.
template <class Container>
class ChunkWriter {
 public:
  static constexpr size_t kScratch = 16384;

  ChunkWriter(Container& out, size_t expected) : out_(out) {
    out_.clear();
    out_.reserve(expected);
    AdviseLargeBuffer(out_.data(), expected);
  }
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  // At least `need` (<= kScratch) writable bytes; write them and hand the end to Commit.
  uint8_t* Room(size_t need) {
    if (static_cast<size_t>(scratch_ + kScratch - pos_) < need) Flush();
    return pos_;
  }
  void Commit(uint8_t* end) { pos_ = end; }

  void Put(std::string_view text) {
    while (!text.empty()) {
      const size_t take = std::min(text.size(), kScratch);
      uint8_t* d = Room(take);
      std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(take), d);
      Commit(d + take);
      text.remove_prefix(take);
    }
  }
  void PutFill(size_t count, uint8_t value) {
    while (count > 0) {
      const size_t take = std::min(count, kScratch);
      uint8_t* d = Room(take);
      std::fill(d, d + take, value);
      Commit(d + take);
      count -= take;
    }
  }

  void Flush() {
    Append(scratch_, static_cast<size_t>(pos_ - scratch_));
    pos_ = scratch_;
  }

 private:
  void Append(const uint8_t* data, size_t size) {
    if constexpr (std::is_same_v<Container, std::string>) {
      out_.append(reinterpret_cast<const char*>(data), size);
    } else {
      out_.insert(out_.end(), data, data + size);
    }
  }

  Container& out_;
  uint8_t scratch_[kScratch];
  uint8_t* pos_ = scratch_;
};

using platform::InputFile;

// Data handed out in consecutive pieces: Take(count) gives the next count bytes.
class MemoryPieces {
 public:
  explicit MemoryPieces(std::string_view data)
      : p_(reinterpret_cast<const uint8_t*>(data.data())) {}
  const uint8_t* Take(size_t count) {
    const uint8_t* at = p_;
    p_ += count;
    return at;
  }

 private:
  const uint8_t* p_;
};

// A file handed out in pieces through a buffer of many lines, so it is never held whole.
// count must not exceed kMaxTake; a file that ends early raises 62.
class FilePieces {
 public:
  static constexpr size_t kMaxTake = 64 * 1024;
  explicit FilePieces(InputFile& file);
  const uint8_t* Take(size_t count);

 private:
  static constexpr size_t kBuffer = 4 * kMaxTake;
  InputFile& file_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t at_ = 0;
  size_t end_ = 0;
};

using platform::WriteFileBytes;

}  // namespace postwing::codec
