// Writes the default branding file: a zlib stream of zero-terminated strings
// whose 46th carries the four branding lines. The title prefix ends in "v"
// rather than a blank, because the reader trims the line and the window puts
// the version ("1.78") right after it: the title reads "Tarnwick v1.78".
#include <cstdio>
#include <string>

#include "app/branding.h"
#include "app/tzlb.h"

namespace {

constexpr const char* kLines[4] = {
    "Tarnwick v",
    "QQ chat history rescue",
    "Reads partitions, disks and images sector by sector",
    "https://tarnwick.example/",
};

std::string BrandingData() {
  std::string data;
  for (int i = 0; i < tarnwick::kBrandingStringIndex; ++i) {
    data += "Tarnwick resource " + std::to_string(i + 1);
    data += '\0';
  }
  for (int i = 0; i < 4; ++i) {
    data += kLines[i];
    data += i < 3 ? "\r\n" : "";
  }
  data += '\0';
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-branding FILE\n");
    return 2;
  }
  std::string data = BrandingData();
  tarnwick::TZLB zlib;
  zlib.CompressLevel = tarnwick::TZLB::clMax;
  zlib.Compress(data.data(), data.size());
  const auto& bytes = zlib.Output().Bytes();

  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
