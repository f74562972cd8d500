// Sends small messages from one process to 127.0.0.1 and prints the rate: the library's side
// of the small-message comparisons in bench/compare_send.sh and bench/compare_bulk.sh.
//
//   send_small_messages PORT COUNT [--raw FILE] [--reuse] [--clear] [--parallel N]
//
// By default each message is built on a fresh SendMail (header, a short text body) and goes
// over a connection of its own, the next one started once the send has ended.
//   --raw FILE    send FILE's bytes as the whole message instead of building one
//   --reuse       one SendMail keeps its connection (KeepConnection) for all its messages,
//                 setting the next message's fields on it (with --clear: after Clear)
//   --parallel N  N objects side by side on this thread, each with its own connection,
//                 COUNT messages in all
// Prints "<count> messages in <seconds> s: <rate> messages/s"; exits 1 if any send failed.
#include <postwing/postwing.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Settings {
  int port = 0;
  int count = 0;
  std::string raw;  // the whole message, when given
  bool reuse = false;
  bool clear = false;
  int parallel = 1;
};

// The key whose presence makes the library send the body text as the whole message.
constexpr const char* kRawModeKey = "x-postwing-test-flag";

// One object and the messages it sends, one after the other.
class Lane {
 public:
  Lane(const Settings& s, int quota, int& failures, int& finished)
      : s_(s), quota_(quota), failures_(failures), finished_(finished) {}

  void Next() {
    if (sent_ == quota_) {
      ++finished_;
      return;
    }
    try {
      if (!mail_ || !s_.reuse) {
        mail_ = postwing::SendMail::Create();
        Connect();
        Fill(true);
      } else {
        if (s_.clear) mail_->Clear();
        Fill(s_.clear);
      }
      mail_->Send();
      // Off while the last send is under way: it ends with QUIT and the close, as without reuse.
      if (s_.reuse && sent_ + 1 == quota_) mail_->SetKeepConnection(false);
    } catch (const postwing::Exception& e) {
      std::fprintf(stderr, "Send: %s\n", e.what());
      ++failures_;
      ++sent_;
      postwing::ThreadEventLoop().Post([this] { Next(); });
    }
  }

 private:
  // Everything a new or cleared object needs; a kept one only the next message's fields.
  void Fill(bool fresh) {
    postwing::SendMail& mail = *mail_;
    auto header = mail.Header();
    if (fresh) {
      mail.SetSMTPServer("127.0.0.1");
      mail.SetSMTPServerPort(s_.port);
      mail.SetKeepConnection(s_.reuse);
      header->SetFrom("Bench <bench@example.org>");
      header->SetToList("sink@example.org");
      if (!s_.raw.empty()) {
        header->SetMIMECompliant(false);
        mail.Body()->Values()->Add("", kRawModeKey);
      }
    }
    if (!s_.raw.empty()) {
      mail.Body()->SetText(postwing::Variant(s_.raw));
      return;
    }
    header->SetSubject("Small message " + std::to_string(sent_ + 1));
    mail.Body()->SetText(postwing::Variant(
        "Hello,\r\n\r\nthis is a small message of the send benchmark.\r\n\r\nBench\r\n"));
  }

  void Connect() {
    mail_->OnWinsockError(
        [this](int32_t& number, std::string&, std::string& text, std::string&, int32_t&) {
          if (failures_ < 5) std::fprintf(stderr, "error %d: %s\n", number, text.c_str());
        });
    // The next message starts from the loop, not from inside the library's callback.
    mail_->OnSendComplete([this] {
      failures_ += !mail_->Result().accepted;
      ++sent_;
      postwing::ThreadEventLoop().Post([this] { Next(); });
    });
  }

  const Settings& s_;
  const int quota_;
  int& failures_;
  int& finished_;
  int sent_ = 0;
  std::shared_ptr<postwing::SendMail> mail_;
};

bool Parse(int argc, char** argv, Settings& s) {
  if (argc < 3) return false;
  s.port = std::atoi(argv[1]);
  s.count = std::atoi(argv[2]);
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--reuse") {
      s.reuse = true;
    } else if (a == "--clear") {
      s.clear = true;
    } else if (a == "--parallel" && i + 1 < argc) {
      s.parallel = std::atoi(argv[++i]);
    } else if (a == "--raw" && i + 1 < argc) {
      std::ifstream in(argv[++i], std::ios::binary);
      s.raw.assign(std::istreambuf_iterator<char>(in), {});
      if (!in || s.raw.empty()) return false;
    } else {
      return false;
    }
  }
  return s.port > 0 && s.count > 0 && s.parallel > 0 && s.parallel <= s.count;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (!Parse(argc, argv, s)) {
    std::fprintf(stderr, "usage: %s PORT COUNT [--raw FILE] [--reuse] [--clear] [--parallel N]\n",
                 argv[0]);
    return 2;
  }
  int failures = 0;
  int finished = 0;
  std::vector<std::unique_ptr<Lane>> lanes;
  for (int k = 0; k < s.parallel; ++k) {
    const int quota = s.count / s.parallel + (k < s.count % s.parallel);
    lanes.push_back(std::make_unique<Lane>(s, quota, failures, finished));
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto& lane : lanes) lane->Next();
  if (!postwing::RunEventsUntil([&] { return finished == s.parallel; },
                                std::chrono::seconds(600))) {
    std::fprintf(stderr, "%d of %d objects did not finish\n", s.parallel - finished, s.parallel);
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d messages in %.3f s: %.1f messages/s\n", s.count, seconds, s.count / seconds);
  if (failures) std::fprintf(stderr, "%d messages failed\n", failures);
  return failures == 0 ? 0 : 1;
}
