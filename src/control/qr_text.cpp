#include "control/qr_text.h"

#include <qrencode.h>

#include <memory>

namespace {

constexpr const char* bothLit = "\u2588";   // full block
constexpr const char* upperLit = "\u2580";  // upper half block
constexpr const char* lowerLit = "\u2584";  // lower half block
constexpr const char* noneLit = " ";

struct QrCodeFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

std::vector<std::string> qrTextLines(const std::string& text, int quietModules) {
  // Byte mode keeps the token's letter case, which alphanumeric mode would lose.
  const std::unique_ptr<QRcode, QrCodeFree> code(QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_L));
  if (!code || quietModules < 0) {
    return {};
  }
  const int symbol = code->width;
  const int size = symbol + 2 * quietModules;
  // The quiet zone, and below the last row the screen's own dark, are not
  // dark modules of the symbol.
  const auto dark = [&](int row, int column) {
    const int r = row - quietModules;
    const int c = column - quietModules;
    return r >= 0 && r < symbol && c >= 0 && c < symbol && (code->data[r * symbol + c] & 1) != 0;
  };
  const auto lit = [&](int row, int column) { return row < size && !dark(row, column); };
  std::vector<std::string> lines;
  for (int row = 0; row < size; row += 2) {
    std::string line;
    for (int column = 0; column < size; ++column) {
      const bool upper = lit(row, column);
      const bool lower = lit(row + 1, column);
      line += upper ? (lower ? bothLit : upperLit) : (lower ? lowerLit : noneLit);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}
