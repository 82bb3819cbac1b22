// The console's QR code: the modules libqrencode gives for the address must
// be the ones drawn, with a light border around them, small enough for a
// text console.
#include "control/qr_text.h"

#include <qrencode.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int quiet = 2;

// The drawn modules, read back from the glyphs: true where the screen is lit
// (a light module), row by row.
std::vector<std::vector<bool>> litModules(const std::vector<std::string>& lines) {
  const std::vector<std::pair<std::string, std::pair<bool, bool>>> glyphs = {
      {"\u2588", {true, true}}, {"\u2580", {true, false}}, {"\u2584", {false, true}}, {" ", {false, false}}};
  std::vector<std::vector<bool>> rows;
  for (const std::string& line : lines) {
    std::vector<bool> upper;
    std::vector<bool> lower;
    for (std::size_t at = 0; at < line.size();) {
      bool known = false;
      for (const auto& [glyph, halves] : glyphs) {
        if (line.compare(at, glyph.size(), glyph) == 0) {
          upper.push_back(halves.first);
          lower.push_back(halves.second);
          at += glyph.size();
          known = true;
          break;
        }
      }
      if (!known) {
        ADD_FAILURE() << "not a block glyph at byte " << at << " of: " << line;
        return {};
      }
    }
    rows.push_back(upper);
    rows.push_back(lower);
  }
  return rows;
}

struct Symbol {
  int width = 0;
  std::vector<bool> dark;
};

// What libqrencode makes of `text` in byte mode at the lowest correction.
Symbol expectedSymbol(const std::string& text) {
  std::unique_ptr<QRcode, void (*)(QRcode*)> code(QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_L),
                                                  QRcode_free);
  Symbol symbol;
  if (!code) {
    ADD_FAILURE() << "libqrencode cannot encode " << text;
    return symbol;
  }
  symbol.width = code->width;
  for (int i = 0; i < code->width * code->width; ++i) {
    symbol.dark.push_back((code->data[i] & 1) != 0);
  }
  return symbol;
}

TEST(QrText, EveryDrawnModuleIsTheSymbolsInsideALightBorder) {
  for (const std::string url : {"http://192.168.7.20:12209/?token=AbCdEfGhIjKlMnOpQrStUvWxYz012345",
                                "http://10.0.0.5:12209/"}) {
    const Symbol symbol = expectedSymbol(url);
    ASSERT_GT(symbol.width, 0);
    const std::vector<std::string> lines = qrTextLines(url);
    const std::vector<std::vector<bool>> lit = litModules(lines);
    const int size = symbol.width + 2 * quiet;
    // An odd size leaves the last text row's lower half to the dark screen.
    ASSERT_EQ(static_cast<int>(lines.size()), (size + 1) / 2) << url;
    for (int row = 0; row < static_cast<int>(lit.size()); ++row) {
      ASSERT_EQ(static_cast<int>(lit[row].size()), size) << "row " << row << " of " << url;
      for (int column = 0; column < size; ++column) {
        const int r = row - quiet;
        const int c = column - quiet;
        bool expected = false;
        if (row >= size) {
          expected = false;
        } else if (r < 0 || r >= symbol.width || c < 0 || c >= symbol.width) {
          expected = true;  // the quiet zone
        } else {
          expected = !symbol.dark[r * symbol.width + c];
        }
        EXPECT_EQ(lit[row][column], expected) << "module " << row << "," << column << " of " << url;
      }
    }
  }
}

TEST(QrText, TheLongestAddressStillFitsAConsoleOf80By25) {
  const std::string url =
      "http://[2001:db8:1234:5678:9abc:def0:1234:5678]:12209/?token=AbCdEfGhIjKlMnOpQrStUvWxYz012345";
  const std::vector<std::string> lines = qrTextLines(url);
  ASSERT_FALSE(lines.empty());
  // Room left for the address lines and the login prompt.
  EXPECT_LE(lines.size(), 21u);
  const std::vector<std::vector<bool>> lit = litModules(lines);
  ASSERT_FALSE(lit.empty());
  EXPECT_LE(lit.front().size(), 78u);
}

TEST(QrText, TextTooLongForAnySymbolGivesNothing) {
  EXPECT_TRUE(qrTextLines(std::string(8000, 'a')).empty());
}

}  // namespace
