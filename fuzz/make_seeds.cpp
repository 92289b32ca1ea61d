// kavori_fuzz_seeds DIR: writes the seed corpus of the firmware image fuzzer. Small images, each
// near one of the parser's edges, so that the fuzzer starts from inputs that reach every state.
#include <cstdio>
#include <string>

#include "firmware/image_builder.hpp"

namespace {

using kavori::firmware::ImageBuilder;

constexpr const char* kCode = "KAVSBL0000009900990000";

ImageBuilder Valid() {
  ImageBuilder builder;
  builder.Magic().DeviceDescriptorAt(2, 0x0005, 0x0110).StringDescriptorAt(38, kCode).Size(160);
  return builder;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kavori_fuzz_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const struct {
    const char* name;
    ImageBuilder image;
  } seeds[] = {
      {"magic-only", ImageBuilder().Magic()},
      {"valid", Valid()},
      {"two-descriptors", Valid().DeviceDescriptorAt(140, 0x000B, 0x0203).Size(200)},
      {"rejected-product-id", ImageBuilder()
                                  .Magic()
                                  .DeviceDescriptorAt(2, 0x8105, 0x0110)
                                  .StringDescriptorAt(38, kCode)
                                  .Size(160)},
      {"doubled-header", ImageBuilder()
                             .Magic()
                             .DeviceDescriptorAt(2, 0x000A, 0x0110)
                             .BytesAt(38, {0x00, 0x2E, 0x00, 0x2E, 0x00, 0x03, 0x41})
                             .Size(64)},
      {"header-near-end", ImageBuilder()
                              .Magic()
                              .DeviceDescriptorAt(2, 0x0005, 0x0110)
                              .StringDescriptorAt(60, kCode)
                              .Size(100)},
      {"descriptor-at-end", ImageBuilder().Magic().DeviceDescriptorAt(20, 0x0005, 0x0110).Size(45)},
  };
  for (const auto& seed : seeds) {
    const std::string path = dir + "/" + seed.name;
    if (!seed.image.WriteTo(path)) {
      std::fprintf(stderr, "kavori_fuzz_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
