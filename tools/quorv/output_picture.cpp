#include <ATen/ATen.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "host/page_release.h"
#include "tools/quorv/quorv_cli.h"

namespace quorv::cli {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

}  // namespace

std::string output_extension(const std::string& path) {
  if (path == "-") return ".png";
  return lower(std::filesystem::path(path).extension().string());
}

Background parse_background(const std::string& text) {
  const std::string t = lower(text);
  if (t == "white") return {{1, 1, 1}, "white"};
  if (t == "black") return {{0, 0, 0}, "black"};
  bool hex = t.size() == 7 && t[0] == '#';
  for (size_t i = 1; hex && i < t.size(); ++i) hex = hex_digit(t[i]) >= 0;
  if (!hex) throw UsageError("--background must be white, black or #RRGGBB, got '" + text + "'");
  Background out{{}, t};
  for (int c = 0; c < 3; ++c) out.rgb[c] = static_cast<float>(hex_digit(t[1 + 2 * c]) * 16 + hex_digit(t[2 + 2 * c])) / 255.0f;
  return out;
}

int output_depth(int requested, int input_depth, const std::string& path) {
  if (requested != 0) return requested;
  const std::string ext = output_extension(path);
  const bool holds_16 = ext == ".png" || ext == ".tif" || ext == ".tiff";
  return holds_16 ? input_depth : 8;
}

OutputPicture output_picture(at::Tensor result, const std::optional<at::Tensor>& alpha, bool grey,
                             const std::string& path, const Background& background) {
  OutputPicture out;
  // The road's result, when it comes here alone, is this function's to change.
  const bool own = host::pages_are_ours(result);
  const bool keep_alpha = alpha.has_value() && format_has_alpha(path);
  if (alpha && !keep_alpha) {
    // Colour under transparent pixels is not meant to be seen: blend onto the background.
    const at::Tensor bg = at::tensor({background.rgb[0], background.rgb[1], background.rgb[2]});
    result = (own ? result.sub_(bg) : result.sub(bg)).mul_(alpha->clamp(0.0, 1.0)).add_(bg);
    out.composited_over = background.text;
  }
  if (grey) {
    // Rec. 601 luma: a grey picture's three equal bands come back unchanged.
    // Band by band of rows, so that the weighted bands never exist whole.
    const at::Tensor weights = at::tensor({0.299f, 0.587f, 0.114f});
    at::Tensor luma = at::empty({result.size(0), result.size(1), result.size(2), 1}, result.options());
    constexpr int64_t kRows = 256, kChannelAxis = 3;
    for (int64_t y = 0; y < result.size(1); y += kRows) {
      const int64_t rows = std::min(kRows, result.size(1) - y);
      at::Tensor band = luma.narrow(1, y, rows);
      at::sum_out(band, result.narrow(1, y, rows).mul(weights), kChannelAxis, /*keepdim=*/true);
    }
    host::let_go(result);  // gives the pages back only when they are this function's
    result = luma;
  }
  if (keep_alpha) {
    at::Tensor with_alpha = at::cat({result, *alpha}, 3);
    host::let_go(result);
    result = with_alpha;
  }
  out.picture = result;
  out.alpha = keep_alpha;
  return out;
}

}  // namespace quorv::cli
