// Any bytes as a Native add-in package and as its MANIFEST.XML: every entry
// the zip lists is read, and the manifest scanned. A bad package is a
// std::runtime_error; nothing crashes, and no input makes the reader hold
// more than its caps allow.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "NativePackage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  (void)velko::tool::ParseManifest(input);
  try {
    const velko::tool::ZipFile zip(input, "fuzz.zip");
    for (const std::string& name : zip.Names()) {
      try {
        const std::string content = zip.Read(name, velko::tool::kMaxManifestBytes);
        if (name == "MANIFEST.XML") (void)velko::tool::ParseManifest(content);
      } catch (const std::runtime_error&) {
      }
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
