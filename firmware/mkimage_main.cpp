// kavori-mkimage OUTPUT: writes the standard demo firmware image, which suits the simulated
// device's default serial string.
#include <cstdio>
#include <string>

#include "firmware/image_builder.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kavori-mkimage OUTPUT\n");
    return 2;
  }
  const std::string output = argv[1];
  if (!kavori::firmware::DemoImage().WriteTo(output)) {
    std::fprintf(stderr, "kavori-mkimage: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}
