// The canvas as a PNG file, and back (libpng).
#pragma once

#include <optional>
#include <string>

#include "host/canvas.hpp"

namespace korvane::host {

// Writes the canvas as an 8-bit RGB PNG: the alpha channel is left out, so the picture looks the
// same whatever alpha the server's pixels carry. Returns "" or what went wrong.
std::string write_png(const std::string& path, const Canvas& canvas);

// Reads any PNG libpng understands into RGBA.
std::optional<Canvas> read_png(const std::string& path, std::string* error = nullptr);

}  // namespace korvane::host
