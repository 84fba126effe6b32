// The console's page assets (HTML, script, style sheet), compiled into the
// program from apps/qelkit/console/assets by embed_assets.cmake.
#pragma once

#include <string_view>
#include <vector>

namespace qelkit::console {

struct Asset {
  std::string_view name;  // "index.html", "app.js", "app.css"
  std::string_view body;
};

const std::vector<Asset>& assets();

}  // namespace qelkit::console
