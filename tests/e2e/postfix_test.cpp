// Messages through two private Postfix instances on 127.0.0.1: "relay" passes each on with
// Postfix's own SMTP client (the hop that splits lines over 998 octets) to "final", which
// delivers to a Maildir; each is also sent straight to "final" to compare. Every delivered
// copy is read by Python's email package and by reformime and must give back what the host
// gave: each part byte for byte, the decoded subject, display names and file names, and every
// recipient in the envelope.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "e2e/e2e_support.hpp"
#include "postwing/postwing.hpp"

namespace {

using namespace postwing;
using namespace std::string_literals;
using Address = e2e::Parsed::Address;
namespace fs = std::filesystem;

struct File {
  std::string name, data;
  std::string type = {};  // the type a reader must see; empty: not checked
  EncodeTypes encode = {};
  std::string content_id = {};  // set: an inline part with this id
  bool in_memory = false;       // added as data rather than from a file
};

struct Case {
  const char* name;
  std::string subject = "postwing test", subject_read = {};  // as a reader shows it
  std::string from_name = "Sender";
  std::string to = "to@example.org", cc = {}, bcc = {}, reply_to = {};
  std::string body = "Hello.\r\n", charset = {};  // the body's charset; empty: not checked
  std::string alternative = {};                   // the body's plain-text alternative
  std::vector<File> files = {};
  std::vector<std::string> rcpts = {"to@example.org"};
  std::vector<Address> addresses = {{"To", "", "to@example.org"}};  // To, Cc, Reply-To as read
  int sends = 1;  // more: Clear, the fields set again, Send again
};

std::vector<Case> Cases() {
  const std::string boundary = "--=_5550142857_quillfeather_5550171428_part";
  const std::string quoted = "A saved copy:\r\n" + boundary +
                             "\r\nContent-Type: text/plain\r\n\r\nstill this part\r\n" + boundary +
                             "--\r\nend\r\n";
  const std::string lines = std::string(999, 'a') + "\r\n" + std::string(1500, 'b') + " \r\n" +
                            std::string(3000, 'c') + "\r\nshort\r\n";
  std::string long_name;  // 200 characters
  for (int i = 0; i < 25; ++i) long_name += "長い名前";
  long_name += "-" + std::string(95, 'x') + ".txt";
  const std::string cp1252 = "Caf\xE9 \x80 5 \x93quoted\x94 na\xEFve";
  return {
      {.name = "a part holding the boundary line",
       .body = quoted,
       .files = {{"mail.log", quoted}, {"after.txt", "the part after\r\n"}}},
      {.name = "CR-only, LF-only and mixed line ends",
       .body = "cr\rlf\ncrlf\r\nend",
       .files = {{"cr.txt", "one\rtwo\rthree\r"},
                 {"lf.txt", "one\ntwo\n"},
                 {"mixed.txt", "a\r\nb\nc\rd\n\r"}}},
      {.name = "NUL bytes", .body = "before\0after\r\n"s, .files = {{"nul.txt", "a\0b\0\0c\r\n"s}}},
      {.name = "binary files of no and of an unknown extension",
       .files = {{"blob", e2e::RandomBytes(5000, 1), "application/octet-stream"},
                 {"data.qzx", e2e::RandomBytes(3000, 2), "application/octet-stream"}}},
      {.name = "lines of 999 to 3,000 characters", .body = lines, .files = {{"long.txt", lines}}},
      {.name = "non-ASCII subject, display names and file names",
       .subject = "会議の議事録 📅 — שלום עולם — e\xCC\x81te\xCC\x81, long enough to be folded "
                  "over more than one line",
       .from_name = "Jose\xCC\x81 N\xCC\x83"
                    "and\xC3\xBA 📚",
       .to = "山田 太郎 <taro@example.org>",
       .cc = "עברית 😀 <rtl@example.org>",
       .reply_to = "Zoë Ünïcode <zoe@example.org>",
       .body = "こんにちは 👋\r\n",
       .charset = "utf-8",
       .files = {{"日本語の資料.txt", "text\r\n"},
                 {"😀 party.bin", e2e::RandomBytes(100, 3)},
                 {"שלום.txt", "shalom\r\n"},
                 {"e\xCC\x81te\xCC\x81.txt", "ete\r\n"},
                 {long_name, "long name\r\n"}},
       .rcpts = {"taro@example.org", "rtl@example.org"},
       .addresses = {{"To", "山田 太郎", "taro@example.org"},
                     {"Cc", "עברית 😀", "rtl@example.org"},
                     {"Reply-To", "Zoë Ünïcode", "zoe@example.org"}}},
      {.name = "8-bit text that is not UTF-8",
       .subject = cp1252,
       .subject_read = "Café € 5 “quoted” naïve",
       .body = cp1252 + "\r\n",
       .charset = "windows-1252",
       .files = {{"cp1252.txt", "r\xE9sum\xE9 \x85\r\n"}}},
      {.name = "address lists with commas and a trailing ;",
       .to = "Bob <bob@example.org>, carol@example.org;dave@example.org;",
       .cc = "\"Doe, Jane\" <jane@example.org>;;",
       .bcc = "hidden@example.org;",
       .rcpts = {"bob@example.org", "carol@example.org", "dave@example.org", "jane@example.org",
                 "hidden@example.org"},
       .addresses = {{"To", "Bob", "bob@example.org"},
                     {"To", "", "carol@example.org"},
                     {"To", "", "dave@example.org"},
                     {"Cc", "Doe, Jane", "jane@example.org"}}},
      {.name = "UUEncode in a MIME message",
       .files = {{"uu.bin", e2e::RandomBytes(4500, 4), {}, emxUUEncode}}},  // 45 bytes a line
      // Encodings a host chose that cannot carry the part are replaced.
      {.name = "lines of dots, large and empty parts, data, and encodings that cannot carry it",
       .body = ".starts with a dot\r\n.\r\nline two\r\n\r\n..",
       .files = {{"data.bin", e2e::RandomBytes(4 << 20, 7) + "\r\n.\r\n\n.\n"},
                 {"notes.txt", "line one\r\n.line two\r\n.\r\n", "text/plain"},
                 {"empty.dat", ""},
                 {"nothing.txt", "", {}, {}, {}, true},
                 {"uu.dat", "uuencoded\0data"s, "application/octet-stream", emxUUEncode, {}, true},
                 {"forced.bin", "\0\x01bytes\r"s, "application/octet-stream", emx8Bit, {}, true},
                 {"forced.txt", "nul\0inside"s, "text/plain", emxBinary, {}, true},
                 {"utf8.txt", "\xC3\xA9t\xC3\xA9\r\n", "text/plain", emx8Bit, {}, true}}},
      {.name = "a reused object sends twice", .sends = 2},
      {.name = "HTML with a text alternative and an inline image",
       .body = "<html><body><p>Caf\xC3\xA9</p><img src=\"cid:logo@example.org\"></body></html>",
       .alternative = "Caf\xC3\xA9\r\n",
       .files = {{"logo.png", e2e::RandomBytes(2000, 5), "image/png", {}, "logo@example.org"},
                 {"report.txt", "text\r\n"}}},
  };
}

// "sizes 10 and 12, first difference at 5" (whole texts would flood the log).
std::string Difference(const std::string& got, const std::string& want) {
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size()) +
         ", first difference at " + std::to_string(at);
}

// What a valid Internet message never holds, as a Maildir keeps it (lines end in LF): a byte
// over 127, NUL, CR, a line over 998 octets. Empty when there is none.
std::string WireFault(const std::string& raw) {
  size_t line = 1, start = 0;
  for (size_t i = 0; i < raw.size(); ++i) {
    const auto b = static_cast<unsigned char>(raw[i]);
    if (b > 127 || b == 0 || b == '\r')
      return "byte " + std::to_string(b) + " in line " + std::to_string(line);
    if (b != '\n') continue;
    if (i - start > 998)
      return "line " + std::to_string(line) + " of " + std::to_string(i - start) + " octets";
    ++line;
    start = i + 1;
  }
  return {};
}

// The parts one parser read against the body and the files, in order.
void CheckParts(const std::vector<e2e::Parsed::Part>& parts, const Case& c, const char* parser) {
  SCOPED_TRACE(parser);
  const size_t first = c.alternative.empty() ? 1 : 2;
  ASSERT_EQ(parts.size(), c.files.size() + first);
  EXPECT_EQ(first == 2 ? parts[0].data : c.alternative, c.alternative);
  const std::string& body = parts[first - 1].data;
  // An HTML body (here the one with an alternative) reads back with the document type line.
  EXPECT_TRUE(first == 1 ? body == c.body : body.find(c.body) != std::string::npos)
      << "body: " << Difference(body, c.body);
  for (size_t i = 0; i < c.files.size(); ++i) {
    const auto& got = parts[i + first];
    const auto& want = c.files[i];
    EXPECT_EQ(got.filename, want.name);
    EXPECT_TRUE(got.data == want.data) << want.name << ": " << Difference(got.data, want.data);
    if (!want.type.empty()) {
      EXPECT_EQ(got.content_type, want.type) << want.name;
    }
  }
}

std::string Show(const std::vector<Address>& list) {
  std::string text;
  for (const auto& a : list) text += a.field + ": \"" + a.name + "\" <" + a.address + ">\n";
  return text;
}

// The subject and every display name and address, decoded.
void CheckHeaderText(const e2e::Parsed& p, const Case& c, const std::string& from) {
  EXPECT_EQ(p.Header("Subject"), c.subject_read.empty() ? c.subject : c.subject_read);
  std::vector<Address> want = {{"From", c.from_name, from}};
  want.insert(want.end(), c.addresses.begin(), c.addresses.end());
  EXPECT_EQ(Show(p.addresses), Show(want));
}

// A delivered copy: the envelope Postfix recorded.
struct Copy {
  fs::path path;
  std::string sender, recipient;
};

std::vector<Copy> Delivered(const fs::path& maildir) {
  std::vector<Copy> copies;
  for (const auto& entry : fs::directory_iterator(maildir)) {
    Copy copy{entry.path(), "", ""};
    std::istringstream in(e2e::ReadFile(entry.path()));
    for (std::string line; std::getline(in, line) && !line.empty();) {
      if (line.rfind("Return-Path: <", 0) == 0) copy.sender = line.substr(14, line.size() - 15);
      if (line.rfind("Delivered-To: ", 0) == 0) copy.recipient = line.substr(14);
    }
    copies.push_back(copy);
  }
  return copies;
}

std::string From(size_t i, bool relay) {
  return "c" + std::to_string(i) + (relay ? "r" : "d") + "@example.org";
}

TEST(Postfix, EveryCaseArrivesAsGivenThroughARelayHopAndDirectly) {
  if (geteuid() != 0) GTEST_SKIP() << "private Postfix instances need root";
  e2e::TempDir dir;
  // Postfix's delivery agent, not root, must reach the Maildir inside.
  fs::permissions(dir.path(), fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
  e2e::PythonServer pair(
      {e2e::ServersDir() + "postfix_pair.py", "--dir", (dir / "pf").string(), "--lifetime", "90"});
  const int final_port = std::stoi(pair.banner().substr(pair.banner().find("FINAL ") + 6));

  const auto cases = Cases();
  // By sender address: each accepted send's start and end.
  std::map<std::string, std::vector<std::pair<time_t, time_t>>> sent;
  size_t expected_copies = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    for (bool relay : {true, false}) {
      SCOPED_TRACE(From(i, relay) + ": " + c.name);
      auto mail = SendMail::Create();
      for (int n = 0; n < c.sends; ++n) {
        if (n > 0) mail->Clear();
        mail->SetSMTPServer("127.0.0.1");
        mail->SetSMTPServerPort(relay ? pair.port() : final_port);
        mail->SetTimeOut(20);
        auto h = mail->Header();
        h->SetFrom(c.from_name + " <" + From(i, relay) + ">");
        h->SetToList(c.to);
        if (!c.cc.empty()) h->SetCcList(c.cc);
        if (!c.bcc.empty()) h->SetBccList(c.bcc);
        if (!c.reply_to.empty()) h->SetReplyTo(c.reply_to);
        h->SetSubject(c.subject);
        mail->Body()->SetText(c.body);
        if (!c.alternative.empty()) mail->Body()->SetAlternativeText(c.alternative);
        for (size_t k = 0; k < c.files.size(); ++k) {
          const auto& f = c.files[k];
          const std::string path = dir.File(std::to_string(i) + "_" + std::to_string(k), f.data);
          auto added = mail->Attachments()->Add(f.in_memory ? f.data : path, f.name, {}, f.encode);
          if (!f.content_id.empty()) {
            added->SetContentID(f.content_id);
            added->SetInline(true);
          }
        }
        // The header was made a moment ago; DATE must still be the moment of sending.
        if (c.sends > 1) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        const time_t start = time(nullptr);
        support::SendOutcome o = support::SendAndWait(mail, std::chrono::seconds(20));
        if (o.completes == 0 || o.raised || !o.errors.empty()) {
          ADD_FAILURE() << "not sent: " << o.raised << " " << o.Transcript();
          continue;
        }
        sent[From(i, relay)].emplace_back(start, time(nullptr));
        expected_copies += c.rcpts.size();
      }
    }
  }

  // Every accepted message arrives within seconds: both instances retry every second.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<Copy> copies;
  while ((copies = Delivered(dir / "pf" / "Maildir" / "new")).size() < expected_copies &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(copies.size(), expected_copies)
      << e2e::ReadFile(dir / "pf" / "relay" / "log") << e2e::ReadFile(dir / "pf" / "final" / "log");

  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    for (bool relay : {true, false}) {
      const std::string from = From(i, relay);
      SCOPED_TRACE(from + ": " + c.name);
      const auto& windows = sent[from];
      std::multiset<std::string> got, want;
      std::set<long long> dates;
      for (const auto& copy : copies) {
        if (copy.sender != from) continue;
        got.insert(copy.recipient);
        if (copy.recipient != c.rcpts[0]) continue;
        EXPECT_EQ(WireFault(e2e::ReadFile(copy.path)), "");
        const e2e::Parsed p = e2e::Parse(copy.path, "--crlf");
        EXPECT_EQ(p.defects, 0) << p.defect_texts;
        EXPECT_TRUE(c.charset.empty() || (!p.parts.empty() && p.parts[0].charset == c.charset));
        CheckParts(p.parts, c, "Python's email package");
        CheckParts(p.others, c, "reformime");
        CheckHeaderText(p, c, from);
        if (!c.alternative.empty()) {
          EXPECT_EQ(p.tree,
                    "multipart/mixed[multipart/related[multipart/alternative[text/plain,text/"
                    "html],image/png],text/plain]");
          EXPECT_EQ(p.parts[2].content_id, "<logo@example.org>");
        }
        EXPECT_TRUE(
            std::any_of(windows.begin(), windows.end(),
                        [&](const auto& w) { return p.date >= w.first && p.date <= w.second; }))
            << "DATE is not the time of sending: " << p.Header("DATE");
        EXPECT_TRUE(dates.insert(p.date).second) << "the DATE lines repeat";
      }
      for (size_t n = 0; n < windows.size(); ++n) want.insert(c.rcpts.begin(), c.rcpts.end());
      EXPECT_EQ(got, want) << "the recipients Postfix delivered to";
    }
  }
}

}  // namespace
