// The Native add-in package as the host reads it: a zip whose MANIFEST.XML
// names one module per system and architecture. velko picks the module for
// the system it runs on and unpacks it into a temporary folder of its own, so
// `--native` takes the package itself as well as a module file.
//
// Only what a package needs of the zip format is read: the central directory,
// stored and deflated entries, their CRC. Errors are std::runtime_error with a
// one-line message. Any thread.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velko::tool {

struct ManifestComponent {
  std::string os;    // "Windows", "Linux"
  std::string arch;  // "i386", "x86_64"
  std::string path;  // the file inside the zip
  std::string type;  // "native"
};

// The components MANIFEST.XML lists, in its order.
std::vector<ManifestComponent> ParseManifest(const std::string& xml);

// The system and architecture this program is built for, as a manifest names them.
std::string ThisSystemOs();
std::string ThisSystemArch();

// True when the file starts as a zip does.
bool IsZipFile(const std::filesystem::path& file);

// The entries of a zip, read whole into memory.
class ZipFile {
 public:
  explicit ZipFile(const std::filesystem::path& file);
  bool Has(const std::string& name) const;
  // The entry's bytes, checked against its CRC.
  std::string Read(const std::string& name) const;
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
  std::filesystem::path file_;
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

// Exposed for tests: raw deflate data (RFC 1951) to bytes.
std::string Inflate(const std::string& data);
uint32_t Crc32(const std::string& data);

}  // namespace velko::tool
