// Content types by extension: the compiled-in table of common types, overridden by
// /etc/mime.types, overridden in turn by the user's ~/.mime.types.
#include "platform/content_types.hpp"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>

#include "core/ascii.hpp"
#include "platform/module.hpp"

namespace postwing::platform {
namespace {

using Table = std::unordered_map<std::string, std::string>;

constexpr const char* kBuiltIn[][2] = {
    {"7z", "application/x-7z-compressed"},
    {"a", "application/octet-stream"},
    {"aac", "audio/aac"},
    {"apk", "application/vnd.android.package-archive"},
    {"avi", "video/x-msvideo"},
    {"bin", "application/octet-stream"},
    {"bmp", "image/bmp"},
    {"bz2", "application/x-bzip2"},
    {"c", "text/x-csrc"},
    {"cab", "application/vnd.ms-cab-compressed"},
    {"class", "application/java-vm"},
    {"cpp", "text/x-c++src"},
    {"css", "text/css"},
    {"csv", "text/csv"},
    {"dat", "application/octet-stream"},
    {"db", "application/octet-stream"},
    {"deb", "application/vnd.debian.binary-package"},
    {"dll", "application/x-msdownload"},
    {"dmg", "application/x-apple-diskimage"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"dot", "application/msword"},
    {"eml", "message/rfc822"},
    {"eps", "application/postscript"},
    {"epub", "application/epub+zip"},
    {"exe", "application/x-msdos-program"},
    {"flac", "audio/flac"},
    {"gif", "image/gif"},
    {"gz", "application/gzip"},
    {"h", "text/x-chdr"},
    {"heic", "image/heic"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"ico", "image/vnd.microsoft.icon"},
    {"ics", "text/calendar"},
    {"img", "application/octet-stream"},
    {"iso", "application/x-iso9660-image"},
    {"jar", "application/java-archive"},
    {"jpe", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "text/javascript"},
    {"json", "application/json"},
    {"log", "text/plain"},
    {"lz", "application/x-lzip"},
    {"lz4", "application/x-lz4"},
    {"lzma", "application/x-lzma"},
    {"m4a", "audio/mp4"},
    {"md", "text/markdown"},
    {"mid", "audio/midi"},
    {"midi", "audio/midi"},
    {"mov", "video/quicktime"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"msg", "application/vnd.ms-outlook"},
    {"msi", "application/x-msi"},
    {"o", "application/octet-stream"},
    {"odp", "application/vnd.oasis.opendocument.presentation"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"oga", "audio/ogg"},
    {"ogg", "audio/ogg"},
    {"ogv", "video/ogg"},
    {"otf", "font/otf"},
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"pps", "application/vnd.ms-powerpoint"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"ps", "application/postscript"},
    {"pyc", "application/octet-stream"},
    {"rar", "application/vnd.rar"},
    {"rpm", "application/x-rpm"},
    {"rtf", "application/rtf"},
    {"sh", "application/x-sh"},
    {"so", "application/octet-stream"},
    {"sqlite", "application/vnd.sqlite3"},
    {"svg", "image/svg+xml"},
    {"svgz", "image/svg+xml"},
    {"tar", "application/x-tar"},
    {"tgz", "application/gzip"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"ttf", "font/ttf"},
    {"txt", "text/plain"},
    {"vcf", "text/vcard"},
    {"wasm", "application/wasm"},
    {"wav", "audio/wav"},
    {"weba", "audio/webm"},
    {"webm", "video/webm"},
    {"webp", "image/webp"},
    {"wma", "audio/x-ms-wma"},
    {"wmv", "video/x-ms-wmv"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"xhtml", "application/xhtml+xml"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"xml", "application/xml"},
    {"xz", "application/x-xz"},
    {"yaml", "application/yaml"},
    {"yml", "application/yaml"},
    {"zip", "application/zip"},
    {"zst", "application/zstd"},
};

// Reads one mime.types file: "type ext ext ..." per line, "#" starts a comment. Within
// one file the first line naming an extension wins, as the file is sorted by type and not
// by preference; the file's entries replace those already in the table.
void MergeFile(const std::string& path, Table& table) {
  std::ifstream in(path);
  if (!in) return;
  Table from_file;
  std::string line;
  while (std::getline(in, line)) {
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string type, ext;
    if (!(words >> type) || type.find('/') == std::string::npos) continue;
    while (words >> ext) {
      while (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
      if (!ext.empty()) from_file.emplace(detail::LowerCase(ext), type);
    }
  }
  for (auto& [e, t] : from_file) table[e] = std::move(t);
}

struct Source {
  std::mutex mutex;
  std::string system_file = "/etc/mime.types";
  std::shared_ptr<const Table> table;
};

Source& TheSource() {
  static Source source;
  return source;
}

std::shared_ptr<const Table> CurrentTable() {
  Source& s = TheSource();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.table) {
    auto table = std::make_shared<Table>();
    for (const auto& entry : kBuiltIn) table->emplace(entry[0], entry[1]);
    MergeFile(s.system_file, *table);
    if (const char* home = std::getenv("HOME"); home && *home) {
      std::string user = home;
      if (user.back() != '/') user += '/';
      MergeFile(user + ".mime.types", *table);
    }
    s.table = std::move(table);
  }
  return s.table;
}

}  // namespace

void ReloadContentTypes(std::string system_file) {
  Source& s = TheSource();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.system_file = std::move(system_file);
  s.table.reset();
}

std::string ContentTypeForExtension(std::string_view extension) {
  std::string key;
  for (char c : extension) {
    if (c != '.') key += detail::AsciiLower(c);
  }
  if (key.empty()) return {};
  auto table = CurrentTable();
  auto it = table->find(key);
  return it == table->end() ? std::string() : it->second;
}

std::string ContentTypeForFileName(std::string_view name) {
  return ContentTypeForExtension(ExtensionOf(name));
}

}  // namespace postwing::platform
