// Messages through two private Postfix instances on 127.0.0.1: "relay" passes each on with
// Postfix's own SMTP client (the hop that splits lines over 998 octets) to "final", which
// delivers to a Maildir; each is also sent straight to "final" to compare. Every delivered
// copy is read by Python's email package and by reformime and must give back what the host
// gave: each part byte for byte, the nesting of body, alternative, inline and attached parts,
// the decoded subject, display names and file names, and every recipient in the envelope.
#include <gtest/gtest.h>
#include <unistd.h>

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
  std::string content_id = {};  // set: an inline part with this id ("*": the library's own)
  bool in_memory = false;       // added as data rather than from a file
};

struct Case {
  std::string name;
  std::string subject = "postwing test", subject_read = {};  // as a reader shows it
  std::string from_name = "Sender Name";
  std::string to = "to@example.org", cc = {}, reply_to = {};
  std::string body = "Hello.\r\n", charset = {};  // the body's charset; empty: not checked
  std::string alternative = {};                   // the body's plain-text alternative
  std::string tree = {};                          // the nesting read; empty: not checked
  std::vector<File> files = {};
  std::vector<std::string> rcpts = {"to@example.org"};
  std::vector<Address> addresses = {{"To", "", "to@example.org"}};  // To, Cc, Reply-To as read
};

std::vector<Case> Cases() {
  const std::string lines = std::string(999, 'a') + "\r\n" + std::string(1500, 'b') + " \r\n" +
                            std::string(3000, 'c') + "\r\nshort\r\n";
  std::string long_name;  // 200 characters
  for (int i = 0; i < 25; ++i) long_name += "長い名前";
  long_name += "-" + std::string(95, 'x') + ".txt";
  const std::string cp1252 = "Caf\xE9 \x80 5 \x93quoted\x94 na\xEFve";
  const std::string png = "\x89PNG\r\n\x1A\n" + e2e::RandomBytes(3000, 9);
  const std::string html =
      "<html><body><p>Caf\xC3\xA9 logo: <img src=\"cid:logo@example.org\"> <img "
      "src=\"cid:photo.1@example.org\"></p></body></html>";
  // 8-bit text with a line that opens like the inner delimiters: quoted-printable.
  const std::string plain =
      "Caf\xC3\xA9 logo below.\r\n--=_rel_5550142857_quillfeather_5550171428_part";
  const File logo{"logo.png", png, "image/png", {}, "*"};
  // clang-format off
  const File photo{"photo.jpg", "\xFF\xD8" + e2e::RandomBytes(500, 10), "image/jpeg", {},
                   "<photo.1@example.org>", true};  // in memory, the host's own id
  // clang-format on
  const std::string octets = "application/octet-stream";
  const File attached{"data.bin", e2e::RandomBytes(100, 11), octets};
  const std::string alt = "multipart/alternative[text/plain,text/html]";
  auto nest = [](std::string body, std::string alternative, std::vector<File> files,
                 std::string tree) {
    return Case{.name = "nested as " + tree,
                .body = body,
                .alternative = alternative,
                .tree = "multipart/mixed[" + tree + "]",
                .files = files};
  };
  return {
      {.name = "CR-only, LF-only and mixed line ends",
       .body = "cr\rlf\ncrlf\r\nend",
       // clang-format off
       .files = {{"cr.txt", "one\rtwo\rthree\r"}, {"lf.txt", "one\ntwo\n"},
                 {"mixed.txt", "a\r\nb\nc\rd\n\r"}}},
      // clang-format on
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
       // clang-format off
       .files = {{"日本語の資料.txt", "text\r\n"}, {"😀 party.bin", e2e::RandomBytes(100, 3)},
                 {"שלום.txt", "shalom\r\n"}, {"e\xCC\x81te\xCC\x81.txt", "ete\r\n"},
                 {long_name, "long name\r\n"}},
       // clang-format on
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
      // The body, its plain-text alternative, inline images and attachments nest as readers
      // expect, each level only when needed.
      nest(html, plain,
           {{"logo.png", png, "image/png", {}, "logo@example.org"}, {"report.txt", "text\r\n"}},
           "multipart/related[" + alt + ",image/png],text/plain"),
      nest(html, plain, {}, alt),
      nest(html, "", {logo}, "multipart/related[text/html,image/png]"),
      nest(html, plain, {logo, photo}, "multipart/related[" + alt + ",image/png,image/jpeg]"),
      nest(html, "", {logo, attached}, "multipart/related[text/html,image/png]," + octets),
      nest(html, plain, {attached}, alt + "," + octets),
      nest("", plain, {logo}, "multipart/related[text/plain,image/png]"),
      nest("", "", {logo}, "image/png"),
  };
}

// What a valid Internet message never holds, as a Maildir keeps it (lines end in LF): a byte
// over 127, NUL, CR, a line over 998 octets. Empty when there is none.
std::string WireFault(const std::string& raw) {
  for (size_t i = 0, line = 1, start = 0; i < raw.size(); ++i) {
    const auto b = static_cast<unsigned char>(raw[i]);
    if (b > 127 || b == 0 || b == '\r' || (b == '\n' && i - start > 998)) {
      return "byte " + std::to_string(b) + " in line " + std::to_string(line) + " at " +
             std::to_string(i - start);
    }
    if (b == '\n') ++line, start = i + 1;
  }
  return {};
}

// The parts one parser read against the alternative, the body and the files, in order; ids:
// the Content-ID of each file as the host saw it.
void CheckParts(const std::vector<e2e::Parsed::Part>& parts, const Case& c,
                const std::vector<std::string>& ids, bool python) {
  SCOPED_TRACE(python ? "Python's email package" : "reformime");
  const size_t texts = !c.alternative.empty() + !c.body.empty();
  ASSERT_EQ(parts.size(), c.files.size() + texts);
  if (!c.alternative.empty()) {
    EXPECT_EQ(parts[0].data, c.alternative);
    const std::string how = parts[0].encoding + " " + parts[0].charset;
    EXPECT_TRUE(!python || how == "quoted-printable utf-8") << how;
  }
  const std::string& body = parts[texts - 1].data;
  // An HTML body reads back with the document type line.
  const bool html = c.body.rfind("<html>", 0) == 0;
  EXPECT_TRUE(c.body.empty() || (html ? body.find(c.body) != std::string::npos : body == c.body))
      << "body of " << body.size() << " bytes";
  for (size_t i = 0; i < c.files.size(); ++i) {
    const auto& got = parts[i + texts];
    const auto& want = c.files[i];
    EXPECT_EQ(got.filename, want.name);
    // Not EXPECT_EQ: whole texts would flood the log.
    EXPECT_TRUE(got.data == want.data) << want.name << ": " << got.data.size() << " bytes";
    EXPECT_TRUE(want.type.empty() || got.content_type == want.type) << want.name;
    EXPECT_TRUE(!python || want.content_id.empty() || got.content_id == "<" + ids[i] + ">")
        << want.name << ": " << got.content_id;
  }
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

  const auto cases = Cases();
  // By sender address: the accepted send's start and end, and the Content-IDs of its files.
  std::map<std::string, std::pair<time_t, time_t>> sent;
  std::map<std::string, std::vector<std::string>> ids;
  size_t expected_copies = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    for (bool relay : {true, false}) {
      const std::string from = From(i, relay);
      SCOPED_TRACE(from + ": " + c.name);
      auto mail = SendMail::Create();
      mail->SetSMTPServer("127.0.0.1");
      mail->SetSMTPServerPort(relay ? pair.port() : pair.port("FINAL"));
      mail->SetTimeOut(20);
      auto h = mail->Header();
      h->SetFrom(c.from_name + " <" + from + ">");
      h->SetToList(c.to);
      if (!c.cc.empty()) h->SetCcList(c.cc);
      if (!c.reply_to.empty()) h->SetReplyTo(c.reply_to);
      h->SetSubject(c.subject);
      if (!c.body.empty()) mail->Body()->SetText(c.body);
      if (!c.alternative.empty()) mail->Body()->SetAlternativeText(c.alternative);
      for (size_t k = 0; k < c.files.size(); ++k) {
        const auto& f = c.files[k];
        const std::string path = dir.File(std::to_string(i) + "_" + std::to_string(k), f.data);
        auto added = mail->Attachments()->Add(f.in_memory ? f.data : path, f.name, {}, f.encode);
        if (f.content_id.empty()) continue;
        if (f.content_id != "*") added->SetContentID(f.content_id);
        added->SetInline(true);
        ids[from].push_back(added->ContentID());
        // A host's own id is the one its HTML refers to.
        EXPECT_TRUE(f.content_id == "*" ||
                    c.body.find("cid:" + ids[from].back() + "\"") != std::string::npos);
      }
      const time_t start = time(nullptr);
      support::SendOutcome o = support::SendAndWait(mail, std::chrono::seconds(20));
      if (o.completes == 0 || o.raised || !o.errors.empty()) {
        ADD_FAILURE() << "not sent: " << o.raised << " " << o.Transcript();
        continue;
      }
      sent[from] = {start, time(nullptr)};
      expected_copies += c.rcpts.size();
    }
  }

  // Every accepted message arrives within seconds: both instances retry every second.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::vector<e2e::Copy> copies;
  while ((copies = e2e::Delivered(dir / "pf" / "Maildir")).size() < expected_copies &&
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
      const auto window = sent.find(from);
      std::multiset<std::string> got, want;
      for (const auto& copy : copies) {
        if (copy.sender != from) continue;
        got.insert(copy.recipient);
        if (copy.recipient != c.rcpts[0]) continue;
        EXPECT_EQ(WireFault(e2e::ReadFile(copy.path)), "");
        const e2e::Parsed p = e2e::Parse(copy.path, "--crlf");
        EXPECT_EQ(p.defects, "");
        EXPECT_TRUE(c.charset.empty() || (!p.parts.empty() && p.parts[0].charset == c.charset));
        EXPECT_TRUE(c.tree.empty() || p.tree == c.tree) << p.tree;
        CheckParts(p.parts, c, ids[from], true);
        CheckParts(p.others, c, ids[from], false);
        // The subject and every display name and address, decoded.
        EXPECT_EQ(p.Header("Subject"), c.subject_read.empty() ? c.subject : c.subject_read);
        std::string read, written = "From: \"" + c.from_name + "\" <" + from + ">\n";
        for (const auto& a : p.addresses)
          read += a.field + ": \"" + a.name + "\" <" + a.address + ">\n";
        for (const auto& a : c.addresses)
          written += a.field + ": \"" + a.name + "\" <" + a.address + ">\n";
        EXPECT_EQ(read, written);
        EXPECT_TRUE(window != sent.end() && p.date >= window->second.first &&
                    p.date <= window->second.second)
            << "DATE is not the time of sending: " << p.Header("DATE");
      }
      if (window != sent.end()) want.insert(c.rcpts.begin(), c.rcpts.end());
      EXPECT_EQ(got, want) << "the recipients Postfix delivered to";
    }
  }
}

}  // namespace
