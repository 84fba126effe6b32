// SVG drawn on the server: the login QR code and the daily income chart.
// Drawn here rather than in the browser so the page needs no chart library,
// and every figure in a chart is also in its markup (data-* attributes and a
// <title> per day) for screen readers and tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qelkit::console {

// Escapes text for SVG/HTML content and attribute values.
std::string xml_escape(const std::string& text);

// The QR symbol (dark modules true, no quiet zone) with a four-module light
// quiet zone, scaled by the page.
std::string qr_svg(const std::vector<std::vector<bool>>& modules);

// One day of the income chart.
struct ChartDay {
  std::string day;  // YYYY-MM-DD
  enum class State { ok, failed, missing } state = State::missing;
  std::int64_t iaa = 0, mount = 0;
  std::string note;  // failed: the error
};

// Stacked bars (IAA below, mount above) per day; a failed day is a red cross
// on the axis and a missing (never pulled) day a grey dash, never a zero bar.
std::string income_chart_svg(const std::vector<ChartDay>& days);

}  // namespace qelkit::console
