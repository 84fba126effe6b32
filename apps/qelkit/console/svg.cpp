#include "apps/qelkit/console/svg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qelkit::console {

std::string xml_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string qr_svg(const std::vector<std::vector<bool>>& modules) {
  const std::size_t size = modules.size() + 8;
  const std::string n = std::to_string(size);
  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + n + " " + n +
                    "\" shape-rendering=\"crispEdges\" role=\"img\" aria-label=\"Login QR code\">"
                    "<rect width=\"" + n + "\" height=\"" + n + "\" fill=\"#fff\"/><path fill=\"#000\" d=\"";
  for (std::size_t y = 0; y < modules.size(); ++y) {
    for (std::size_t x = 0; x < modules[y].size(); ++x) {
      if (modules[y][x]) out += "M" + std::to_string(x + 4) + " " + std::to_string(y + 4) + "h1v1h-1z";
    }
  }
  return out + "\"/></svg>";
}

namespace {

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// 1234567 -> "1,234,567"
std::string grouped(std::int64_t v) {
  std::string digits = std::to_string(v < 0 ? -v : v), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return v < 0 ? "-" + out : out;
}

// A round axis maximum at or above `v`: 1, 2 or 5 times a power of ten.
std::int64_t nice_ceiling(std::int64_t v) {
  std::int64_t step = 1;
  while (true) {
    for (std::int64_t m : {1, 2, 5}) {
      if (m * step >= v) return m * step;
    }
    step *= 10;
  }
}

}  // namespace

std::string income_chart_svg(const std::vector<ChartDay>& days) {
  constexpr double kWidth = 960, kHeight = 320, kLeft = 80, kRight = 16, kTop = 28, kBottom = 52;
  const double plot_w = kWidth - kLeft - kRight, plot_h = kHeight - kTop - kBottom;
  std::int64_t highest = 0;
  for (const auto& d : days) {
    if (d.state == ChartDay::State::ok) highest = std::max(highest, std::max<std::int64_t>(0, d.iaa) + std::max<std::int64_t>(0, d.mount));
  }
  const std::int64_t top = nice_ceiling(std::max<std::int64_t>(highest, 1));
  const double base = kTop + plot_h;
  auto y_of = [&](std::int64_t v) { return base - plot_h * static_cast<double>(v) / static_cast<double>(top); };

  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" viewBox=\"0 0 960 320\" role=\"img\" "
                    "aria-label=\"Income per day: IAA and mount\">";
  // Legend and grid with labels.
  out += "<g class=\"legend\"><rect x=\"80\" y=\"6\" width=\"12\" height=\"12\" class=\"iaa\"/>"
         "<text x=\"96\" y=\"16\">IAA income</text><rect x=\"190\" y=\"6\" width=\"12\" height=\"12\" class=\"mount\"/>"
         "<text x=\"206\" y=\"16\">mount income</text><path d=\"M310 8l8 8M318 8l-8 8\" class=\"failed-mark\"/>"
         "<text x=\"324\" y=\"16\">pull failed</text><path d=\"M412 12h10\" class=\"missing-mark\"/>"
         "<text x=\"428\" y=\"16\">not pulled</text></g>";
  for (int i = 0; i <= 4; ++i) {
    const std::int64_t v = top / 4 * i;
    const double y = y_of(v);
    out += "<path class=\"grid\" d=\"M" + num(kLeft) + " " + num(y) + "H" + num(kWidth - kRight) + "\"/>";
    out += "<text class=\"axis\" x=\"" + num(kLeft - 6) + "\" y=\"" + num(y + 4) + "\" text-anchor=\"end\">" +
           grouped(v) + "</text>";
  }
  const double slot = days.empty() ? plot_w : plot_w / static_cast<double>(days.size());
  const double bar = std::max(1.0, std::min(48.0, slot * 0.7));
  const std::size_t label_every = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(60.0 / slot)));
  for (std::size_t i = 0; i < days.size(); ++i) {
    const ChartDay& d = days[i];
    const double cx = kLeft + slot * (static_cast<double>(i) + 0.5), x = cx - bar / 2;
    const char* state = d.state == ChartDay::State::ok ? "ok" : d.state == ChartDay::State::failed ? "failed" : "missing";
    out += "<g class=\"day\" data-day=\"" + xml_escape(d.day) + "\" data-state=\"" + state + "\"";
    std::string title = d.day + ": ";
    if (d.state == ChartDay::State::ok) {
      out += " data-iaa=\"" + std::to_string(d.iaa) + "\" data-mount=\"" + std::to_string(d.mount) + "\"";
      title += "IAA " + grouped(d.iaa) + ", mount " + grouped(d.mount);
    } else if (d.state == ChartDay::State::failed) {
      title += "pull failed" + (d.note.empty() ? "" : " (" + d.note + ")");
    } else {
      title += "not pulled";
    }
    out += "><title>" + xml_escape(title) + "</title>";
    if (d.state == ChartDay::State::ok) {
      const std::int64_t iaa = std::max<std::int64_t>(0, d.iaa), mount = std::max<std::int64_t>(0, d.mount);
      const double y1 = y_of(iaa), y2 = y_of(iaa + mount);
      out += "<rect class=\"iaa\" x=\"" + num(x) + "\" y=\"" + num(y1) + "\" width=\"" + num(bar) + "\" height=\"" +
             num(base - y1) + "\"/>";
      out += "<rect class=\"mount\" x=\"" + num(x) + "\" y=\"" + num(y2) + "\" width=\"" + num(bar) + "\" height=\"" +
             num(y1 - y2) + "\"/>";
    } else if (d.state == ChartDay::State::failed) {
      const double s = std::min(8.0, bar / 2 + 2);
      out += "<path class=\"failed-mark\" d=\"M" + num(cx - s) + " " + num(base - 2 * s - 2) + "l" + num(2 * s) + " " +
             num(2 * s) + "M" + num(cx + s) + " " + num(base - 2 * s - 2) + "l" + num(-2 * s) + " " + num(2 * s) + "\"/>";
    } else {
      out += "<path class=\"missing-mark\" d=\"M" + num(cx - bar / 2) + " " + num(base - 3) + "h" + num(bar) + "\"/>";
    }
    // A transparent hit area over the whole slot, so the title shows anywhere in it.
    out += "<rect class=\"hit\" x=\"" + num(cx - slot / 2) + "\" y=\"" + num(kTop) + "\" width=\"" + num(slot) +
           "\" height=\"" + num(plot_h) + "\"/></g>";
    if (i % label_every == 0) {
      out += "<text class=\"axis\" x=\"" + num(cx) + "\" y=\"" + num(base + 18) + "\" text-anchor=\"middle\">" +
             xml_escape(d.day.size() == 10 ? d.day.substr(5) : d.day) + "</text>";
    }
  }
  out += "<path class=\"axis-line\" d=\"M" + num(kLeft) + " " + num(base) + "H" + num(kWidth - kRight) + "\"/>";
  out += "<text class=\"axis\" x=\"" + num(kLeft + plot_w / 2) + "\" y=\"" + num(kHeight - 8) +
         "\" text-anchor=\"middle\">platform day (UTC)</text></svg>";
  return out;
}

}  // namespace qelkit::console
