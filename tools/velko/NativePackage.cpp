#include "NativePackage.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "common/TextUtf.h"

namespace velko::tool {
namespace {

uint16_t Le16(const std::string& bytes, size_t at) {
  if (at + 2 > bytes.size()) throw std::runtime_error("the zip ends inside a header");
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

uint32_t Le32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(Le16(bytes, at)) | static_cast<uint32_t>(Le16(bytes, at + 2)) << 16;
}

constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr uint32_t kCentralHeader = 0x02014b50;
constexpr uint32_t kEndOfDirectory = 0x06054b50;

// ------------------------------------------------------------------ inflate

class Inflater {
 public:
  explicit Inflater(const std::string& in) : in_(in) {}

  std::string Run() {
    bool last = false;
    do {
      last = Bits(1) != 0;
      switch (Bits(2)) {
        case 0: Stored(); break;
        case 1: Fixed(); break;
        case 2: Dynamic(); break;
        default: throw std::runtime_error("a deflate block of an unknown type");
      }
    } while (!last);
    return std::move(out_);
  }

 private:
  static constexpr int kMaxBits = 15;
  struct Huffman {
    std::array<uint16_t, kMaxBits + 1> count{};
    std::array<uint16_t, 288> symbol{};
  };

  uint32_t Bits(int need) {
    uint32_t value = bit_buffer_;
    while (bit_count_ < need) {
      if (pos_ >= in_.size()) throw std::runtime_error("the deflate data ends early");
      value |= static_cast<uint32_t>(static_cast<uint8_t>(in_[pos_++])) << bit_count_;
      bit_count_ += 8;
    }
    bit_buffer_ = value >> need;
    bit_count_ -= need;
    return value & ((1u << need) - 1);
  }

  static Huffman Build(const uint16_t* lengths, int n) {
    Huffman h;
    for (int i = 0; i < n; ++i) ++h.count[lengths[i]];
    if (h.count[0] == n) return h;  // no codes: any use of it fails in Decode
    int left = 1;
    for (int len = 1; len <= kMaxBits; ++len) {
      left <<= 1;
      left -= h.count[len];
      if (left < 0) throw std::runtime_error("an over-subscribed Huffman code");
    }
    std::array<uint16_t, kMaxBits + 1> offsets{};
    for (int len = 1; len < kMaxBits; ++len) offsets[len + 1] = static_cast<uint16_t>(offsets[len] + h.count[len]);
    for (int i = 0; i < n; ++i)
      if (lengths[i] != 0) h.symbol[offsets[lengths[i]]++] = static_cast<uint16_t>(i);
    return h;
  }

  int Decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
      code |= static_cast<int>(Bits(1));
      const int count = h.count[len];
      if (code - count < first) return h.symbol[static_cast<size_t>(index + (code - first))];
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
    throw std::runtime_error("a deflate code that the block's table does not hold");
  }

  void Stored() {
    bit_buffer_ = 0;
    bit_count_ = 0;
    if (pos_ + 4 > in_.size()) throw std::runtime_error("the deflate data ends early");
    const uint16_t length = Le16(in_, pos_);
    const uint16_t check = Le16(in_, pos_ + 2);
    pos_ += 4;
    if (static_cast<uint16_t>(~check) != length) throw std::runtime_error("a stored deflate block's length is damaged");
    if (pos_ + length > in_.size()) throw std::runtime_error("the deflate data ends early");
    out_.append(in_, pos_, length);
    pos_ += length;
  }

  void Codes(const Huffman& lengths, const Huffman& distances) {
    static constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                               33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                               1025, 1537, 2049, 3073, 4097, 6145,  8193,  12289, 16385, 24577};
    static constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      int symbol = Decode(lengths);
      if (symbol < 256) {
        out_.push_back(static_cast<char>(symbol));
        continue;
      }
      if (symbol == 256) return;
      symbol -= 257;
      if (symbol >= 29) throw std::runtime_error("a deflate length code out of range");
      const size_t length = kLengthBase[symbol] + Bits(kLengthExtra[symbol]);
      symbol = Decode(distances);
      if (symbol >= 30) throw std::runtime_error("a deflate distance code out of range");
      const size_t distance = kDistBase[symbol] + Bits(kDistExtra[symbol]);
      if (distance > out_.size()) throw std::runtime_error("a deflate distance reaches before the data");
      for (size_t i = 0; i < length; ++i) out_.push_back(out_[out_.size() - distance]);
    }
  }

  void Fixed() {
    uint16_t lengths[288 + 30];
    for (int i = 0; i < 144; ++i) lengths[i] = 8;
    for (int i = 144; i < 256; ++i) lengths[i] = 9;
    for (int i = 256; i < 280; ++i) lengths[i] = 7;
    for (int i = 280; i < 288; ++i) lengths[i] = 8;
    for (int i = 288; i < 288 + 30; ++i) lengths[i] = 5;
    Codes(Build(lengths, 288), Build(lengths + 288, 30));
  }

  void Dynamic() {
    static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    const int nlen = static_cast<int>(Bits(5)) + 257;
    const int ndist = static_cast<int>(Bits(5)) + 1;
    const int ncode = static_cast<int>(Bits(4)) + 4;
    if (nlen > 286 || ndist > 30) throw std::runtime_error("a deflate block with too many codes");
    uint16_t lengths[286 + 30] = {};
    for (int i = 0; i < ncode; ++i) lengths[kOrder[i]] = static_cast<uint16_t>(Bits(3));
    const Huffman code_lengths = Build(lengths, 19);
    for (uint16_t& l : lengths) l = 0;
    int index = 0;
    while (index < nlen + ndist) {
      const int symbol = Decode(code_lengths);
      if (symbol < 16) {
        lengths[index++] = static_cast<uint16_t>(symbol);
        continue;
      }
      uint16_t repeated = 0;
      int times = 0;
      if (symbol == 16) {
        if (index == 0) throw std::runtime_error("a deflate length repeat with nothing before it");
        repeated = lengths[index - 1];
        times = 3 + static_cast<int>(Bits(2));
      } else if (symbol == 17) {
        times = 3 + static_cast<int>(Bits(3));
      } else {
        times = 11 + static_cast<int>(Bits(7));
      }
      if (index + times > nlen + ndist) throw std::runtime_error("deflate code lengths run past their count");
      while (times--) lengths[index++] = repeated;
    }
    if (lengths[256] == 0) throw std::runtime_error("a deflate block without an end code");
    Codes(Build(lengths, nlen), Build(lengths + nlen, ndist));
  }

  const std::string& in_;
  size_t pos_ = 0;
  uint32_t bit_buffer_ = 0;
  int bit_count_ = 0;
  std::string out_;
};

// A path for a message, in UTF-8 whatever its characters.
std::string Shown(const std::filesystem::path& path) { return WideToUtf8(path.wstring()); }

std::string ReadWhole(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + Shown(file));
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Attribute(const std::string& element, const std::string& name) {
  const std::regex pattern("\\s" + name + "\\s*=\\s*(\"([^\"]*)\"|'([^']*)')");
  std::smatch match;
  if (!std::regex_search(element, match, pattern)) return "";
  return match[2].matched ? match[2].str() : match[3].str();
}

}  // namespace

std::string Inflate(const std::string& data) { return Inflater(data).Run(); }

uint32_t Crc32(const std::string& data) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (char ch : data) crc = table[(crc ^ static_cast<uint8_t>(ch)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

std::vector<ManifestComponent> ParseManifest(const std::string& xml) {
  std::vector<ManifestComponent> components;
  const std::regex element("<component\\b[^>]*>");
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), element); it != std::sregex_iterator(); ++it) {
    const std::string text = it->str();
    components.push_back({Attribute(text, "os"), Attribute(text, "arch"), Attribute(text, "path"),
                          Attribute(text, "type")});
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

ZipFile::ZipFile(const std::filesystem::path& file) : file_(file), bytes_(ReadWhole(file)) {
  // The end record is the last 22 bytes, or earlier when a comment follows it.
  if (bytes_.size() < 22) throw std::runtime_error(Shown(file) + " is not a zip");
  size_t end = bytes_.size() - 22;
  const size_t lowest = bytes_.size() > 22 + 0xFFFF ? bytes_.size() - 22 - 0xFFFF : 0;
  while (Le32(bytes_, end) != kEndOfDirectory) {
    if (end == lowest) throw std::runtime_error(Shown(file) + " is not a zip (no central directory)");
    --end;
  }
  const uint16_t count = Le16(bytes_, end + 10);
  size_t at = Le32(bytes_, end + 16);
  for (uint16_t i = 0; i < count; ++i) {
    if (Le32(bytes_, at) != kCentralHeader) throw std::runtime_error(Shown(file) + ": a damaged central directory");
    Entry entry;
    entry.method = Le16(bytes_, at + 10);
    entry.crc = Le32(bytes_, at + 16);
    entry.packed = Le32(bytes_, at + 20);
    entry.size = Le32(bytes_, at + 24);
    const uint16_t name_length = Le16(bytes_, at + 28);
    const uint16_t extra_length = Le16(bytes_, at + 30);
    const uint16_t comment_length = Le16(bytes_, at + 32);
    entry.local_offset = Le32(bytes_, at + 42);
    if (at + 46 + name_length > bytes_.size()) throw std::runtime_error(Shown(file) + ": a damaged central directory");
    entry.name = bytes_.substr(at + 46, name_length);
    entries_.push_back(std::move(entry));
    at += 46u + name_length + extra_length + comment_length;
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

std::string ZipFile::Read(const std::string& name) const {
  const Entry* entry = Find(name);
  if (!entry) throw std::runtime_error(Shown(file_) + " holds no " + name);
  const size_t at = entry->local_offset;
  if (Le32(bytes_, at) != kLocalHeader) throw std::runtime_error(Shown(file_) + ": a damaged entry " + name);
  const size_t data = at + 30u + Le16(bytes_, at + 26) + Le16(bytes_, at + 28);
  if (data + entry->packed > bytes_.size()) throw std::runtime_error(Shown(file_) + ": the entry " + name + " is cut short");
  const std::string packed = bytes_.substr(data, entry->packed);
  std::string content;
  if (entry->method == 0)
    content = packed;
  else if (entry->method == 8)
    content = Inflate(packed);
  else
    throw std::runtime_error(Shown(file_) + ": " + name + " is compressed by method " +
                             std::to_string(entry->method) + ", which velko does not read");
  if (content.size() != entry->size || Crc32(content) != entry->crc)
    throw std::runtime_error(Shown(file_) + ": " + name + " does not match its checksum");
  return content;
}

UnpackedModule::UnpackedModule(const std::filesystem::path& package) {
  const std::string system = ThisSystemOs() + " " + ThisSystemArch();
  std::string file;  // the module the manifest names for this system, once known
  std::string content;
  try {
    const ZipFile zip(package);
    for (const ManifestComponent& component : ParseManifest(zip.Read("MANIFEST.XML")))
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

  std::random_device random;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; folder_.empty(); ++attempt) {
    const std::filesystem::path candidate = base / ("velko-native-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) folder_ = candidate;
    if (attempt > 100) throw std::runtime_error("cannot create a temporary folder in " + Shown(base));
  }
  // Only the file's own name: a path in the manifest must not lead out of the folder.
  module_ = folder_ / std::filesystem::path(file).filename();
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
