#include "NativePackage.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

#include "common/TextUtf.h"

namespace velko::tool {
namespace {

constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr uint32_t kCentralHeader = 0x02014b50;
constexpr uint32_t kEndOfDirectory = 0x06054b50;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kMaxCommentSize = 0xFFFF;

// True when `length` bytes from `at` lie inside `size` bytes. Written so that
// nothing is added: a sum of offsets read from the file could wrap where
// size_t has 32 bits.
bool Fits(size_t size, size_t at, size_t length) { return at <= size && length <= size - at; }

uint16_t Le16(const std::string& bytes, size_t at) {
  if (!Fits(bytes.size(), at, 2)) throw std::runtime_error("the zip ends inside a header");
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

uint32_t Le32(const std::string& bytes, size_t at) {
  if (!Fits(bytes.size(), at, 4)) throw std::runtime_error("the zip ends inside a header");
  return static_cast<uint32_t>(Le16(bytes, at)) | static_cast<uint32_t>(Le16(bytes, at + 2)) << 16;
}

std::string Mib(size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// A path for a message, in UTF-8 whatever its characters.
std::string Shown(const std::filesystem::path& path) { return WideToUtf8(path.wstring()); }

std::string ReadPackage(const std::filesystem::path& file) {
  std::error_code error;
  const auto size = std::filesystem::file_size(file, error);
  const std::string too_large =
      Shown(file) + " is larger than " + Mib(kMaxPackageBytes) + ", more than a package holds";
  if (!error && size > kMaxPackageBytes) throw std::runtime_error(too_large);
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + Shown(file));
  // Read in pieces up to the cap: the size seen above need not be the size read.
  std::string bytes;
  char piece[64 * 1024];
  while (in.read(piece, sizeof piece) || in.gcount() > 0) {
    bytes.append(piece, static_cast<size_t>(in.gcount()));
    if (bytes.size() > kMaxPackageBytes) throw std::runtime_error(too_large);
  }
  if (in.bad()) throw std::runtime_error("cannot read " + Shown(file));
  return bytes;
}

// Raw deflate data (RFC 1951) to the `declared` bytes it must give. The
// output grows only as the data fills it and stops one byte past `declared`,
// so data that inflates to far more than it says costs no more than that.
std::string Inflate(const char* data, size_t packed, size_t declared, const std::string& what) {
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) throw std::runtime_error(what + ": zlib cannot start inflating");
  struct End {
    z_stream* stream;
    ~End() { inflateEnd(stream); }
  } end{&stream};
  // packed and declared are below the caps, far inside zlib's 32-bit counts.
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  stream.avail_in = static_cast<uInt>(packed);
  const size_t limit = declared + 1;  // one byte more tells a longer entry from an exact one
  std::string out;
  for (;;) {
    if (out.size() == limit)
      throw std::runtime_error(what + " inflates to more than the " + std::to_string(declared) + " bytes it declares");
    const size_t have = out.size();
    out.resize(std::min(limit, std::max<size_t>(have * 2, 64 * 1024)));
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + have);
    stream.avail_out = static_cast<uInt>(out.size() - have);
    const int status = inflate(&stream, Z_NO_FLUSH);
    out.resize(out.size() - stream.avail_out);
    if (status == Z_STREAM_END) return out;
    if (status != Z_OK && status != Z_BUF_ERROR)
      throw std::runtime_error(what + ": damaged deflate data (" +
                               (stream.msg ? stream.msg : "zlib " + std::to_string(status)) + ")");
    if (stream.avail_in == 0 && stream.avail_out != 0) throw std::runtime_error(what + ": the deflate data ends early");
  }
}

uint32_t Crc32(const std::string& data) {
  return static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::vector<ManifestComponent> ParseManifest(std::string_view xml) {
  constexpr std::string_view kElement = "<component";
  std::vector<ManifestComponent> components;
  size_t at = 0;
  // One pass: `at` only moves forward, and each character is looked at a
  // bounded number of times.
  while ((at = xml.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = xml.substr(at);
    if (rest.starts_with("<!--")) {
      const size_t close = xml.find("-->", at + 4);
      if (close == std::string_view::npos) break;
      at = close + 3;
      continue;
    }
    size_t pos = at + kElement.size();
    if (!rest.starts_with(kElement) || pos >= xml.size() ||
        !(IsXmlSpace(xml[pos]) || xml[pos] == '/' || xml[pos] == '>')) {
      ++at;
      continue;
    }
    ManifestComponent component;
    bool closed = false;
    while (pos < xml.size()) {
      const char c = xml[pos];
      if (c == '>') {
        closed = true;
        ++pos;
        break;
      }
      if (IsXmlSpace(c) || c == '/') {
        ++pos;
        continue;
      }
      const size_t name_start = pos;
      while (pos < xml.size() && !IsXmlSpace(xml[pos]) && xml[pos] != '=' && xml[pos] != '>' && xml[pos] != '/')
        ++pos;
      const std::string_view name = xml.substr(name_start, pos - name_start);
      while (pos < xml.size() && IsXmlSpace(xml[pos])) ++pos;
      if (pos >= xml.size() || xml[pos] != '=') continue;  // a name without a value
      ++pos;
      while (pos < xml.size() && IsXmlSpace(xml[pos])) ++pos;
      if (pos >= xml.size() || (xml[pos] != '"' && xml[pos] != '\'')) continue;  // unquoted: not a value
      const size_t close = xml.find(xml[pos], pos + 1);
      if (close == std::string_view::npos) {
        pos = xml.size();
        break;
      }
      const std::string value(xml.substr(pos + 1, close - pos - 1));
      pos = close + 1;
      if (name == "os") component.os = value;
      else if (name == "arch") component.arch = value;
      else if (name == "path") component.path = value;
      else if (name == "type") component.type = value;
    }
    if (!closed) break;  // an element never closed: what follows is inside it
    components.push_back(std::move(component));
    at = pos;
  }
  return components;
}

std::string ThisSystemOs() {
#ifdef _WIN32
  return "Windows";
#else
  return "Linux";
#endif
}

std::string ThisSystemArch() {
#if defined(__x86_64__) || defined(_M_X64)
  return "x86_64";
#elif defined(__i386__) || defined(_M_IX86)
  return "i386";
#else
  return "unknown";
#endif
}

bool IsZipFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  char head[4] = {};
  return in.read(head, 4) && head[0] == 'P' && head[1] == 'K' && head[2] == 3 && head[3] == 4;
}

ZipFile::ZipFile(const std::filesystem::path& file) : ZipFile(ReadPackage(file), Shown(file)) {}

ZipFile::ZipFile(std::string bytes, std::string shown) : shown_(std::move(shown)), bytes_(std::move(bytes)) {
  const size_t size = bytes_.size();
  if (size > kMaxPackageBytes)
    throw std::runtime_error(shown_ + " is larger than " + Mib(kMaxPackageBytes) + ", more than a package holds");
  // The end record is the last 22 bytes, or earlier when a comment follows it.
  if (size < kEndRecordSize) throw std::runtime_error(shown_ + " is not a zip");
  size_t end = size - kEndRecordSize;
  const size_t lowest = end > kMaxCommentSize ? end - kMaxCommentSize : 0;
  while (Le32(bytes_, end) != kEndOfDirectory) {
    if (end == lowest) throw std::runtime_error(shown_ + " is not a zip (no central directory)");
    --end;
  }
  const std::string damaged = shown_ + ": a damaged central directory";
  const uint16_t count = Le16(bytes_, end + 10);
  size_t at = Le32(bytes_, end + 16);
  for (uint16_t i = 0; i < count; ++i) {
    if (!Fits(size, at, kCentralHeaderSize) || Le32(bytes_, at) != kCentralHeader) throw std::runtime_error(damaged);
    Entry entry;
    entry.method = Le16(bytes_, at + 10);
    entry.crc = Le32(bytes_, at + 16);
    entry.packed = Le32(bytes_, at + 20);
    entry.size = Le32(bytes_, at + 24);
    const size_t name_length = Le16(bytes_, at + 28);
    const size_t trailer = name_length + Le16(bytes_, at + 30) + Le16(bytes_, at + 32);  // name, extra, comment
    entry.local_offset = Le32(bytes_, at + 42);
    at += kCentralHeaderSize;  // inside the bytes, by the check above
    if (!Fits(size, at, trailer)) throw std::runtime_error(damaged);
    entry.name = bytes_.substr(at, name_length);
    entries_.push_back(std::move(entry));
    at += trailer;
  }
}

const ZipFile::Entry* ZipFile::Find(const std::string& name) const {
  for (const Entry& entry : entries_)
    if (entry.name == name) return &entry;
  return nullptr;
}

bool ZipFile::Has(const std::string& name) const { return Find(name) != nullptr; }

std::vector<std::string> ZipFile::Names() const {
  std::vector<std::string> names;
  for (const Entry& entry : entries_) names.push_back(entry.name);
  return names;
}

std::string ZipFile::Read(const std::string& name, size_t limit) const {
  const Entry* entry = Find(name);
  if (!entry) throw std::runtime_error(shown_ + " holds no " + name);
  const std::string what = shown_ + ": " + name;
  if (entry->size > limit)
    throw std::runtime_error(what + " declares " + std::to_string(entry->size) + " bytes, more than the " +
                             std::to_string(limit) + " velko unpacks");
  const size_t size = bytes_.size();
  size_t data = entry->local_offset;
  if (!Fits(size, data, kLocalHeaderSize) || Le32(bytes_, data) != kLocalHeader)
    throw std::runtime_error(shown_ + ": a damaged entry " + name);
  // The local header's name and extra field, which need not match the central directory's.
  const size_t local_trailer = size_t{Le16(bytes_, data + 26)} + Le16(bytes_, data + 28);
  data += kLocalHeaderSize;
  if (!Fits(size, data, local_trailer)) throw std::runtime_error(what + " is cut short");
  data += local_trailer;
  if (!Fits(size, data, entry->packed)) throw std::runtime_error(what + " is cut short");
  std::string content;
  if (entry->method == 0) {
    if (entry->packed != entry->size) throw std::runtime_error(what + " does not match its declared size");
    content = bytes_.substr(data, entry->packed);
  } else if (entry->method == 8) {
    content = Inflate(bytes_.data() + data, entry->packed, entry->size, what);
  } else {
    throw std::runtime_error(what + " is compressed by method " + std::to_string(entry->method) +
                             ", which velko does not read");
  }
  if (content.size() != entry->size || Crc32(content) != entry->crc)
    throw std::runtime_error(what + " does not match its checksum");
  return content;
}

UnpackedModule::UnpackedModule(const std::filesystem::path& package) {
  const std::string system = ThisSystemOs() + " " + ThisSystemArch();
  std::string file;  // the module the manifest names for this system, once known
  std::string content;
  try {
    const ZipFile zip(package);
    for (const ManifestComponent& component : ParseManifest(zip.Read("MANIFEST.XML", kMaxManifestBytes)))
      if (component.os == ThisSystemOs() && component.arch == ThisSystemArch() &&
          (component.type.empty() || component.type == "native")) {
        file = component.path;
        break;
      }
    if (!file.empty()) content = zip.Read(file);
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(error.what() + std::string("; unpack ") +
                             (file.empty() ? "the module MANIFEST.XML names for " + system : file) +
                             " from the package and pass its path to --native");
  }
  if (file.empty())
    throw std::runtime_error(Shown(package) + ": MANIFEST.XML names no module for " + system +
                             "; unpack a module built for " + system + " and pass its path to --native");
  // Only the file's own name: a path in the manifest must not lead out of the folder.
#ifdef _WIN32
  const std::filesystem::path name = std::filesystem::path(Utf8ToWide(file)).filename();
#else
  const std::filesystem::path name = std::filesystem::path(file).filename();
#endif
  if (name.empty() || name == "." || name == "..")
    throw std::runtime_error(Shown(package) + ": MANIFEST.XML names \"" + file + "\" for " + system +
                             ", which is not a file name");

  std::random_device random;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; folder_.empty(); ++attempt) {
    const std::filesystem::path candidate = base / ("velko-native-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) folder_ = candidate;
    if (attempt > 100) throw std::runtime_error("cannot create a temporary folder in " + Shown(base));
  }
  module_ = folder_ / name;
  std::ofstream out(module_, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    throw std::runtime_error("cannot write " + Shown(module_));
  }
}

UnpackedModule::~UnpackedModule() {
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

}  // namespace velko::tool
