// The Native add-in package as the host reads it: a zip whose MANIFEST.XML
// names one module per system and architecture. velko picks the module for
// the system it runs on and unpacks it into a temporary folder of its own, so
// `--native` takes the package itself as well as a module file.
//
// Only what a package needs of the zip format is read: the central directory,
// stored and deflated entries (inflated by zlib), their CRC. The package is a
// file anyone may hand over, so nothing in it is trusted: the zip, each entry
// and the manifest have a size cap, inflation stops as soon as an entry
// passes the size it declares, every offset is checked against the bytes
// held before it is used, and the manifest is scanned by hand in one pass.
// Errors are std::runtime_error with a one-line message. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velko::tool {

// The largest package zip read, the largest entry it may unpack, and the
// largest manifest: a package holds a few modules of some MB each.
inline constexpr size_t kMaxPackageBytes = 64u << 20;
inline constexpr size_t kMaxEntryBytes = 64u << 20;
inline constexpr size_t kMaxManifestBytes = 256u << 10;

struct ManifestComponent {
  std::string os;    // "Windows", "Linux"
  std::string arch;  // "i386", "x86_64"
  std::string path;  // the file inside the zip
  std::string type;  // "native"
};

// The `<component>` elements MANIFEST.XML lists, in its order; attribute
// values as written (no entities decoded). Comments are skipped; an element
// left open ends the list.
[[nodiscard]] std::vector<ManifestComponent> ParseManifest(std::string_view xml);

// The system and architecture this program is built for, as a manifest names them.
std::string ThisSystemOs();
std::string ThisSystemArch();

// True when the file starts as a zip does.
bool IsZipFile(const std::filesystem::path& file);

// The entries of a zip, read whole into memory (at most kMaxPackageBytes).
class ZipFile {
 public:
  explicit ZipFile(const std::filesystem::path& file);
  // A zip already in memory; `shown` names it in messages.
  ZipFile(std::string bytes, std::string shown);
  bool Has(const std::string& name) const;
  // The entry's bytes, checked against its declared size and CRC. An entry
  // that declares more than `limit` bytes is refused before it is unpacked.
  [[nodiscard]] std::string Read(const std::string& name, size_t limit = kMaxEntryBytes) const;
  std::vector<std::string> Names() const;

 private:
  struct Entry {
    std::string name;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint32_t packed = 0;
    uint32_t size = 0;
    uint32_t local_offset = 0;
  };
  const Entry* Find(const std::string& name) const;
  std::string shown_;
  std::string bytes_;
  std::vector<Entry> entries_;
};

// A package unpacked for this system: the folder goes with the object.
class UnpackedModule {
 public:
  // Reads the manifest, picks the native component for this system and
  // writes it into a new temporary folder. Throws std::runtime_error naming
  // what is missing and which file to unpack by hand.
  explicit UnpackedModule(const std::filesystem::path& package);
  ~UnpackedModule();
  UnpackedModule(const UnpackedModule&) = delete;
  UnpackedModule& operator=(const UnpackedModule&) = delete;

  const std::filesystem::path& Module() const { return module_; }

 private:
  std::filesystem::path folder_;
  std::filesystem::path module_;
};

}  // namespace velko::tool
