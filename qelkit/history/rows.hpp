// The typed statistics rows the history stores.
#pragma once

#include <cstdint>
#include <string>

namespace qelkit {

struct ListEntry {
  std::string drama_name;
  std::int64_t view_number = 0;
  std::int64_t iaa_income = 0;
  std::int64_t mount_income = 0;
  bool operator==(const ListEntry&) const = default;
};

struct DetailRow {
  std::string date;
  std::string qel_id;
  std::string drama_name;
  bool is_mount = false;
  std::int64_t feed_read_count = 0;
  std::int64_t drama_read_count = 0;
  std::int64_t iaa_income = 0;
  std::int64_t mount_income = 0;
  std::string qel_nickname;
  bool operator==(const DetailRow&) const = default;
};

}  // namespace qelkit
