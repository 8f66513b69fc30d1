#include "host/png.hpp"

#include <png.h>

#include <cstring>
#include <vector>

namespace korvane::host {

std::string write_png(const std::string& path, const Canvas& canvas) {
  if (canvas.width == 0 || canvas.height == 0) return "the canvas is empty (no desktop size yet)";
  std::vector<uint8_t> rgb(static_cast<size_t>(canvas.width) * canvas.height * 3);
  for (size_t i = 0, j = 0; j < rgb.size(); i += 4, j += 3) {
    rgb[j] = canvas.rgba[i];
    rgb[j + 1] = canvas.rgba[i + 1];
    rgb[j + 2] = canvas.rgba[i + 2];
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = canvas.width;
  image.height = canvas.height;
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr)) {
    std::string text = "cannot write " + path + ": " + image.message;
    png_image_free(&image);
    return text;
  }
  return {};
}

std::optional<Canvas> read_png(const std::string& path, std::string* error) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    if (error) *error = "cannot read " + path + ": " + image.message;
    png_image_free(&image);
    return std::nullopt;
  }
  image.format = PNG_FORMAT_RGBA;
  Canvas canvas;
  canvas.width = image.width;
  canvas.height = image.height;
  canvas.rgba.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, canvas.rgba.data(), 0, nullptr)) {
    if (error) *error = "cannot decode " + path + ": " + image.message;
    png_image_free(&image);
    return std::nullopt;
  }
  return canvas;
}

}  // namespace korvane::host
