#include "sim_data.hpp"

#include <openssl/evp.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <stdexcept>

namespace platform_sim {
namespace {

constexpr const char* kDramaPool[] = {
    "逆天改命：重生之路", "总裁的契约新娘", "闪婚后，大佬每天都在宠我", "龙王归来",
    "千金归来", "天才萌宝：爹地请排队", "神医下山", "北境战神",
    "离婚后我成了顶流", "我在古代当首富", "重返1998", "她的第二人生",
    "Moonlit Harbor", "Café de l'Aube", "Zürich Nights", "The Quiet Heir",
    "Señora del Norte", "Ночной экспресс", "月光下的约定 🌙", "夏日限定恋人",
    "錦衣夜行", "復讐の花嫁", "Émilie & the Duke", "家族的秘密",
};
constexpr std::size_t kDramaPoolSize = sizeof(kDramaPool) / sizeof(kDramaPool[0]);

constexpr const char* kNicknamePool[] = {
    "短剧工坊", "Nova Shorts", "星河剧场", "Ünal Stories",
    "剧好看官方", "Pine & Pixel", "小城故事多", "Mirai Drama",
};
constexpr std::size_t kNicknamePoolSize = sizeof(kNicknamePool) / sizeof(kNicknamePool[0]);

std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::string hex(std::uint64_t v, int digits) {
  static const char* d = "0123456789abcdef";
  std::string s(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = d[v & 0xF];
  return s;
}

// A counter value in one of the shapes the platform is known to send: an
// integer, a decimal text (sometimes padded), a number with a fraction, or no
// key at all.
void put_counter(Json& row, const char* key, std::int64_t base, unsigned variant) {
  switch (variant % 6) {
    case 0:
    case 1:
      row[key] = base;
      break;
    case 2:
      row[key] = std::to_string(base);
      break;
    case 3:
      row[key] = " " + std::to_string(base) + " ";
      break;
    case 4:
      row[key] = static_cast<double>(base) + 0.75;
      break;
    default:
      break;  // absent
  }
}

// A profit in cents: a fraction of currency units, an integer, a signed
// decimal text, or no key.
void put_profit(Json& row, const char* key, std::int64_t cents, unsigned variant) {
  switch (variant % 6) {
    case 0:
    case 1:
      row[key] = static_cast<double>(cents) / 100.0;
      break;
    case 2:
      row[key] = cents / 100;
      break;
    case 3:
      row[key] = std::to_string(cents / 100);
      break;
    case 4:
      row[key] = "-" + std::to_string(cents % 50);
      break;
    default:
      break;  // absent
  }
}

std::string date_text(std::int64_t ts) {
  std::time_t t = static_cast<std::time_t>(ts);
  std::tm tm{};
  if (!gmtime_r(&t, &tm) || tm.tm_year + 1900 > 9999 || tm.tm_year + 1900 < 0) return std::to_string(ts);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

bool truth(const Json& v) {
  if (v.is_null()) return false;
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number_integer()) return v.get<std::int64_t>() != 0;
  if (v.is_number_unsigned()) return v.get<std::uint64_t>() != 0;
  if (v.is_number_float()) return v.get<double>() != 0.0;
  if (v.is_string()) return !v.get_ref<const std::string&>().empty();
  return !v.empty();
}

std::int64_t to_integer(const Json& v) {
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number_integer()) return v.get<std::int64_t>();
  if (v.is_number_unsigned()) return static_cast<std::int64_t>(v.get<std::uint64_t>());
  if (v.is_number_float()) return static_cast<std::int64_t>(std::trunc(v.get<double>()));
  if (auto n = parse_integer(v); n && v.is_string()) return *n;
  throw std::invalid_argument("not an integer: " + v.dump());
}

}  // namespace

std::uint64_t mix(std::uint64_t seed, std::initializer_list<std::int64_t> parts) {
  std::uint64_t h = splitmix(seed);
  for (std::int64_t p : parts) h = splitmix(h ^ static_cast<std::uint64_t>(p));
  return h;
}

DataSet::DataSet(std::uint64_t seed, int account_count) : seed_(seed) {
  for (int k = 0; k < account_count; ++k) {
    Account a;
    a.index = k;
    std::uint64_t h = mix(seed, {1, k});
    if (k % 2 == 0) {
      std::int64_t id = 3'000'000'000LL + static_cast<std::int64_t>(h % 6'000'000'000ULL);
      a.uniq_id = id;
      a.id_text = std::to_string(id);
    } else {
      a.id_text = "v2_060000231003b20f" + hex(h, 16) + "@finder";
      a.uniq_id = a.id_text;
    }
    a.nickname = kNicknamePool[(static_cast<std::size_t>(k) + seed) % kNicknamePoolSize];
    if (static_cast<std::size_t>(k) >= kNicknamePoolSize) a.nickname += " " + std::to_string(k);
    a.wxuin = std::to_string(1'000'000'000ULL + (h >> 20) % 3'000'000'000ULL);

    // Each account gets 6 to 16 distinct dramas in a seed-shuffled order.
    std::vector<std::size_t> order(kDramaPoolSize);
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (std::size_t i = order.size() - 1; i > 0; --i) {
      std::size_t j = mix(seed, {7, k, static_cast<std::int64_t>(i)}) % (i + 1);
      std::swap(order[i], order[j]);
    }
    std::size_t n = 6 + (h >> 8) % 11;
    for (std::size_t i = 0; i < n; ++i) a.dramas.emplace_back(kDramaPool[order[i]]);

    a.finder_user = Json::object();
    a.finder_user["uniqId"] = a.uniq_id;
    a.finder_user["nickname"] = a.nickname;
    a.finder_user["headImgUrl"] = "https://head.platform.invalid/" + hex(h >> 4, 12) + ".jpg";
    a.finder_user["fansCount"] = static_cast<std::int64_t>((h >> 12) % 250'000);
    a.finder_user["authIconType"] = static_cast<int>((h >> 3) % 2);
    a.finder_user["spamFlag"] = 0;
    a.finder_user["adminNickname"] = a.nickname + "的管理员";
    accounts_.push_back(std::move(a));
  }
}

const Account* DataSet::find(std::string_view id_text) const {
  for (const Account& a : accounts_) {
    if (a.id_text == id_text) return &a;
  }
  return nullptr;
}

std::int64_t DataSet::default_row_total(int account, std::int64_t ts) const {
  return static_cast<std::int64_t>(mix(seed_, {2, account, ts}) % 151);
}

Json DataSet::download_row(int account, std::int64_t ts, std::int64_t index) const {
  const Account& a = accounts_.at(static_cast<std::size_t>(account));
  std::uint64_t h = mix(seed_, {3, account, ts, index});
  Json row = Json::object();
  if (index % 11 == 5) {
    std::string d = date_text(ts);
    std::string digits;
    for (char c : d) {
      if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
    }
    row["date"] = std::stoll(digits.substr(0, 18));
  } else {
    row["date"] = date_text(ts);
  }
  row["finderQelid"] = a.uniq_id;
  row["dramaName"] = a.dramas[(h >> 1) % a.dramas.size()];
  switch ((h >> 8) % 8) {
    case 0: row["isAttachment"] = 1; break;
    case 1: row["isAttachment"] = 0; break;
    case 2: row["isAttachment"] = true; break;
    case 3: row["isAttachment"] = false; break;
    case 4: row["isAttachment"] = "1"; break;
    case 5: row["isAttachment"] = ""; break;
    case 6: break;  // absent
    default: row["isAttachment"] = "yes"; break;
  }
  std::int64_t feed = static_cast<std::int64_t>((h >> 16) % 100'000);
  put_counter(row, "feedReadCount", feed, static_cast<unsigned>(h >> 40));
  put_counter(row, "dramaReadCount", feed / 3 + static_cast<std::int64_t>((h >> 24) % 500),
              static_cast<unsigned>(h >> 44));
  put_profit(row, "iaaProfit", static_cast<std::int64_t>((h >> 20) % 5'000'000), static_cast<unsigned>(h >> 48));
  put_profit(row, "attachProfit", static_cast<std::int64_t>((h >> 28) % 800'000), static_cast<unsigned>(h >> 52));
  row["finderNickname"] = a.nickname;
  if ((h >> 56) % 4 == 0) row["feedId"] = "export/" + hex(h, 16);

  if (index % 7 == 3) {  // the platform does not promise a key order
    Json reversed = Json::object();
    for (auto it = row.rbegin(); it != row.rend(); ++it) reversed[it.key()] = it.value();
    return reversed;
  }
  return row;
}

std::int64_t DataSet::default_list_total(int account) const {
  return static_cast<std::int64_t>(accounts_.at(static_cast<std::size_t>(account)).dramas.size());
}

Json DataSet::list_entry(int account, std::int64_t start, std::int64_t end, std::int64_t index) const {
  const Account& a = accounts_.at(static_cast<std::size_t>(account));
  std::uint64_t h = mix(seed_, {4, account, start, end, index});
  std::uint64_t drama_key = mix(seed_, {5, account, index});
  Json entry = Json::object();
  entry["dramaInfo"] = Json::object();
  entry["dramaInfo"]["dramaId"] = "drama_" + hex(drama_key, 12);
  entry["dramaInfo"]["dramaName"] = a.dramas[static_cast<std::size_t>(index) % a.dramas.size()];
  entry["dramaInfo"]["coverUrl"] = "https://cover.platform.invalid/" + hex(drama_key, 12) + ".jpg";
  put_counter(entry, "readCount", static_cast<std::int64_t>((h >> 10) % 2'000'000), static_cast<unsigned>(h >> 40));
  put_profit(entry, "iaaProfit", static_cast<std::int64_t>((h >> 20) % 9'000'000), static_cast<unsigned>(h >> 46));
  put_profit(entry, "attachProfit", static_cast<std::int64_t>((h >> 30) % 900'000), static_cast<unsigned>(h >> 52));
  entry["statTs"] = std::to_string(start);
  return entry;
}

Json normalise_download_row(const Json& row) {
  if (!row.is_object()) throw std::invalid_argument("row is not an object");
  auto counter = [&](const char* key) -> std::int64_t {
    auto it = row.find(key);
    return it == row.end() ? 0 : to_integer(*it);
  };
  Json out = Json::object();
  out["date"] = row.at("date");
  out["qel_id"] = row.at("finderQelid");
  out["drama_name"] = row.at("dramaName");
  auto mount = row.find("isAttachment");
  out["is_mount"] = mount != row.end() && truth(*mount);
  out["feed_read_count"] = counter("feedReadCount");
  out["drama_read_count"] = counter("dramaReadCount");
  out["iaa_income"] = counter("iaaProfit");
  out["mount_income"] = counter("attachProfit");
  out["qel_nickname"] = row.at("finderNickname");
  return out;
}

std::optional<std::int64_t> parse_integer(const Json& value) {
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (!value.is_string()) return std::nullopt;
  const std::string& s = value.get_ref<const std::string&>();
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  std::size_t i = b;
  if (i < e && (s[i] == '+' || s[i] == '-')) ++i;
  if (i == e) return std::nullopt;
  for (std::size_t j = i; j < e; ++j) {
    if (!std::isdigit(static_cast<unsigned char>(s[j]))) return std::nullopt;
  }
  try {
    return std::stoll(s.substr(b, e - b));
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

std::optional<Cursor> decode_cursor(std::string_view text) {
  Cursor cursor;
  if (text.empty()) return cursor;
  if (text.size() % 4 != 0 || text.size() > 4096) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  std::vector<unsigned char> bytes(text.size() / 4 * 3);
  int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0 || static_cast<std::size_t>(n) < padding) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(n) - padding);

  std::size_t pos = 0;
  auto varint = [&](std::uint64_t& out) -> bool {
    out = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos >= bytes.size()) return false;
      unsigned char b = bytes[pos++];
      if (shift == 63 && (b & 0x7E)) return false;  // more than 64 bits
      out |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if (!(b & 0x80)) return true;
    }
    return false;
  };
  bool have_size = false;
  while (pos < bytes.size()) {
    std::uint64_t key = 0;
    if (!varint(key)) return std::nullopt;
    std::uint64_t field = key >> 3;
    unsigned wire = static_cast<unsigned>(key & 7);
    if (field == 0 || ((field == 1 || field == 2) && wire != 0)) return std::nullopt;
    std::uint64_t value = 0;
    switch (wire) {
      case 0:
        if (!varint(value)) return std::nullopt;
        if (field == 1) cursor.offset = value;
        if (field == 2) {
          cursor.page_size = value;
          have_size = true;
        }
        break;
      case 1:
      case 5: {
        std::size_t skip = wire == 1 ? 8 : 4;
        if (bytes.size() - pos < skip) return std::nullopt;
        pos += skip;
        break;
      }
      case 2:
        if (!varint(value) || value > bytes.size() - pos) return std::nullopt;
        pos += static_cast<std::size_t>(value);
        break;
      default:
        return std::nullopt;
    }
  }
  if (have_size && (cursor.page_size == 0 || cursor.page_size > 1000)) return std::nullopt;
  return cursor;
}

}  // namespace platform_sim
