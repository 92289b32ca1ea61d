// Feeds arbitrary bytes to the firmware image parser, both through a file (load, scan, release)
// and directly, and checks that the two paths agree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "firmware/firmware_image.hpp"
#include "platform/file.hpp"

namespace {

using kavori::firmware::FirmwareImage;
using kavori::firmware::kProductCodeLength;
using kavori::firmware::LoadError;

// One file per fuzzing process, randomly named so that parallel jobs never share it; removed at
// exit.
class ScratchFile {
 public:
  ScratchFile() {
    std::random_device random;
    const std::string name = "kavori-fuzz-" + std::to_string(random()) + std::to_string(random());
    path_ = (std::filesystem::temp_directory_path() / (name + ".hex")).string();
  }
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size heap copy lets the address sanitizer see any read past the end.
  const auto copy = std::make_unique<std::uint8_t[]>(size);
  if (size != 0) std::memcpy(copy.get(), data, size);
  std::uint32_t directVersion = 0;
  char directCode[kProductCodeLength + 1] = {};
  const int direct =
      kavori::firmware::ScanImageBytes({copy.get(), size}, directVersion, directCode);
  Check(direct == 0 || direct == -3, "scan result is 0 or -3");

  static const ScratchFile scratch;
  {
    std::ofstream out(scratch.Path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) return 0;
  }

  const bool hasMagic = size >= 2 && data[0] == 0x08 && data[1] == 0xAA;
  {
    auto loaded = kavori::firmware::LoadFirmwareFile(scratch.Path());
    Check(loaded.has_value() == hasMagic, "a file loads exactly when it starts with the magic");
    if (!loaded) {
      const LoadError& error = loaded.error();
      Check(error.check == LoadError::Check::Magic, "a small file is refused for its magic only");
      Check(error.size == size, "the refusal names the file's size");
      for (std::size_t k = 0; k < 2; ++k)
        Check(error.magic[k] == (k < size ? data[k] : 0),
              "the refusal names the file's first bytes, zeros where it has none");
      Check(!error.Text().empty(), "a refusal has a text");
    } else {
      FirmwareImage& image = loaded.value();
      Check(image.Size() == size && image.Bytes().size() == size, "image size is the file size");
      Check(std::memcmp(image.Bytes().data(), data, size) == 0, "image bytes are the file");
      const int scanned = image.Scan();
      Check(scanned == direct, "file scan and byte scan agree");
      if (scanned == 0) {
        Check(image.FileVersionWord() == directVersion, "version words agree");
        Check(std::memcmp(image.ProductCode(), directCode, sizeof directCode) == 0,
              "product codes agree");
        Check(directCode[kProductCodeLength] == '\0', "product code is terminated");
        Check((directVersion >> 24) == 0, "version word bits 24..31 are 0");
      }
    }
  }
  Check(kavori::platform::ExclusiveFile::Open(scratch.Path()).has_value(),
        "nothing of the file is held once the image is gone");
  return 0;
}
