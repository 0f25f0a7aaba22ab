#include "tests/hosts/png_file.h"

#include <png.h>

namespace vorn_test {

uint32_t Picture::At(int x, int y) const {
  const size_t i =
      (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 4;
  return (uint32_t{rgba[i]} << 24) | (uint32_t{rgba[i + 1]} << 16) | (uint32_t{rgba[i + 2]} << 8) |
         rgba[i + 3];
}

bool ReadPng(const std::string& path, Picture* picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGBA;
  picture->width = static_cast<int>(image.width);
  picture->height = static_cast<int>(image.height);
  picture->rgba.assign(PNG_IMAGE_SIZE(image), 0);
  if (!png_image_finish_read(&image, nullptr, picture->rgba.data(), 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  return true;
}

}  // namespace vorn_test
