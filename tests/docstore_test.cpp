#include "qelkit/common/docstore.hpp"
#include "tests/support/bind_mount.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/files.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <cmath>
#include <cstring>
#include <random>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qelkit/common/errors.hpp"

namespace {

namespace fs = std::filesystem;
using qelkit::Json;
using qelkit::JsonFileHandler;
using ::testing::HasSubstr;

// Each test runs in a fresh temporary working directory.
class DocStore : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = fs::current_path();
    std::string tmpl = (fs::temp_directory_path() / "qelkit-docstore-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    fs::remove_all(dir_);
  }

  static std::string read(const fs::path& p) { return qelkit::testing::read_file(p); }
  static void write(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  static std::vector<std::string> entries(const fs::path& d) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(d)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static unsigned mode_of(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
  }

  fs::path old_cwd_;
  fs::path dir_;
};

const Json kRecord = Json::parse(R"({"name": "测试数据", "value": 123, "items": ["a", "b", "c"]})");

TEST_F(DocStore, PathRules) {
  EXPECT_EQ(JsonFileHandler::_default_base_dir, "json");
  EXPECT_EQ(JsonFileHandler::get_file_path("data.json"), "json/data.json");
  EXPECT_EQ(JsonFileHandler::get_file_path("config.json", "./configs"), "./configs/config.json");
  EXPECT_EQ(JsonFileHandler::get_file_path("config.json", "configs/"), "configs/config.json");
  EXPECT_EQ(JsonFileHandler::get_file_path("users/user1.json"), "users/user1.json");
  EXPECT_EQ(JsonFileHandler::get_file_path("users/user1.json", "elsewhere"), "users/user1.json");
  EXPECT_EQ(JsonFileHandler::get_file_path("./local.json", "elsewhere"), "./local.json");
  EXPECT_EQ(JsonFileHandler::get_file_path("/tmp/absolute_test.json", "elsewhere"), "/tmp/absolute_test.json");
  EXPECT_EQ(JsonFileHandler::get_file_path("bare.json", ""), "bare.json");
}

TEST_F(DocStore, WritesTheExactLayout) {
  JsonFileHandler::save_data(kRecord, "test.json");
  EXPECT_EQ(read("json/test.json"),
            "{\n"
            "  \"name\": \"测试数据\",\n"
            "  \"value\": 123,\n"
            "  \"items\": [\n"
            "    \"a\",\n"
            "    \"b\",\n"
            "    \"c\"\n"
            "  ]\n"
            "}");
  JsonFileHandler::save_data(kRecord, "ascii.json", std::nullopt, 2, true);
  EXPECT_EQ(read("json/ascii.json"),
            "{\n"
            "  \"name\": \"\\u6d4b\\u8bd5\\u6570\\u636e\",\n"
            "  \"value\": 123,\n"
            "  \"items\": [\n"
            "    \"a\",\n"
            "    \"b\",\n"
            "    \"c\"\n"
            "  ]\n"
            "}");

  const Json mixed = Json::parse(R"({
    "z": {}, "a": [], "nested": {"k": [1, {"n": null}]},
    "floats": [0.1, 1e100, -0.0, 1.0, 1e-05, 0.30000000000000004, 2.5e-7],
    "text": "q\"b\\s/\n\t\u0001\u007f é 🙂", "flags": [true, false], "big": 18446744073709551615, "neg": -5
  })");
  JsonFileHandler::save_data(mixed, "mixed.json", std::nullopt, 2, true);
  EXPECT_EQ(read("json/mixed.json"),
            "{\n"
            "  \"z\": {},\n"
            "  \"a\": [],\n"
            "  \"nested\": {\n"
            "    \"k\": [\n"
            "      1,\n"
            "      {\n"
            "        \"n\": null\n"
            "      }\n"
            "    ]\n"
            "  },\n"
            "  \"floats\": [\n"
            "    0.1,\n"
            "    1e+100,\n"
            "    -0.0,\n"
            "    1.0,\n"
            "    1e-05,\n"
            "    0.30000000000000004,\n"
            "    2.5e-07\n"
            "  ],\n"
            "  \"text\": \"q\\\"b\\\\s/\\n\\t\\u0001\\u007f \\u00e9 \\ud83d\\ude42\",\n"
            "  \"flags\": [\n"
            "    true,\n"
            "    false\n"
            "  ],\n"
            "  \"big\": 18446744073709551615,\n"
            "  \"neg\": -5\n"
            "}");
  JsonFileHandler::save_data(mixed["text"], "text.json");  // DEL and non-ASCII stay as they are
  EXPECT_EQ(read("json/text.json"), "\"q\\\"b\\\\s/\\n\\t\\u0001\x7f é 🙂\"");

  JsonFileHandler::save_data(Json::object(), "empty_obj.json");
  JsonFileHandler::save_data(Json::array(), "empty_arr.json");
  EXPECT_EQ(read("json/empty_obj.json"), "{}");
  EXPECT_EQ(read("json/empty_arr.json"), "[]");

  const Json small = Json::parse(R"({"a": [1, 2]})");
  JsonFileHandler::save_data(small, "four.json", std::nullopt, 4);
  EXPECT_EQ(read("json/four.json"), "{\n    \"a\": [\n        1,\n        2\n    ]\n}");
  JsonFileHandler::save_data(small, "zero.json", std::nullopt, 0);
  EXPECT_EQ(read("json/zero.json"), "{\n\"a\": [\n1,\n2\n]\n}");

  // Everything written reads back equal, member order included.
  EXPECT_EQ(JsonFileHandler::load_data("mixed.json").dump(), mixed.dump());
  EXPECT_EQ(JsonFileHandler::load_data("test.json").dump(), kRecord.dump());
}

TEST_F(DocStore, CreatesDirectoriesAndOverwritesCompletely) {
  const Json config = Json::parse(R"({"app_name": "MyApp", "version": "1.0.0"})");
  JsonFileHandler::save_data(config, "config.json", "./configs");
  EXPECT_EQ(read("configs/config.json"), "{\n  \"app_name\": \"MyApp\",\n  \"version\": \"1.0.0\"\n}");

  JsonFileHandler::save_data(kRecord, "deep.json", "json/a/b");
  EXPECT_TRUE(fs::is_regular_file("json/a/b/deep.json"));
  JsonFileHandler::save_data(kRecord, "users/user1.json", "ignored");
  EXPECT_TRUE(fs::is_regular_file("users/user1.json"));
  EXPECT_FALSE(fs::exists("ignored"));

  const fs::path absolute = dir_ / "abs" / "absolute_test.json";
  JsonFileHandler::save_data(Json{{"test", "absolute"}}, absolute.string(), "ignored");
  EXPECT_EQ(read(absolute), "{\n  \"test\": \"absolute\"\n}");

  JsonFileHandler::save_data(Json{{"v", 1}}, "deep.json", "json/a/b");
  EXPECT_EQ(read("json/a/b/deep.json"), "{\n  \"v\": 1\n}");

  // A file where a directory must be created: the error reaches the caller.
  write("blocker", "x");
  try {
    JsonFileHandler::save_data(kRecord, "f.json", "blocker/sub");
    FAIL() << "directory creation under a file succeeded";
  } catch (const qelkit::SystemError& e) {
    EXPECT_THAT(e.what(), HasSubstr("blocker/sub"));
  }
  // A file where the directory itself should be: the write fails, silently.
  EXPECT_NO_THROW(JsonFileHandler::save_data(kRecord, "f.json", "blocker"));
  EXPECT_EQ(read("blocker"), "x");
}

TEST_F(DocStore, DirectoryInTheFilesPlace) {
  fs::create_directories("json/data.json");
  EXPECT_NO_THROW(JsonFileHandler::save_data(kRecord, "data.json"));
  EXPECT_TRUE(fs::is_directory("json/data.json"));
  EXPECT_TRUE(fs::is_empty("json/data.json"));
  EXPECT_EQ(entries("json"), std::vector<std::string>{"data.json"});  // no temporary left

  EXPECT_EQ(JsonFileHandler::load_data("data.json"), Json::object());
  EXPECT_THROW(JsonFileHandler::load_data_strict("data.json"), qelkit::SystemError);
}

TEST_F(DocStore, InvalidFilesReadAsANewEmptyObject) {
  fs::create_directory("json");
  const std::pair<const char*, std::string> invalid[] = {
      {"empty", ""},
      {"whitespace", " \n\t\r\n "},
      {"trailing", "{\"a\": 1} x"},
      {"two values", "{} {}"},
      {"byte-order mark", "\xEF\xBB\xBF{\"a\": 1}"},
      {"invalid UTF-8 in a string", "{\"a\": \"\xC3\x28\"}"},
      {"UTF-8 surrogate", "[\"\xED\xA0\x80\"]"},
      {"Latin-1 text", "{\"caf\xE9\": 1}"},
      {"truncated", "{\"a\": [1, 2"},
      {"not JSON", "NaN"},
      {"comment", "// note\n{}"},
  };
  for (const auto& [what, bytes] : invalid) {
    SCOPED_TRACE(what);
    write("json/bad.json", bytes);
    Json got = JsonFileHandler::load_data("bad.json");
    EXPECT_TRUE(got.is_object());
    EXPECT_TRUE(got.empty());
    EXPECT_THROW(JsonFileHandler::load_data_strict("bad.json"), qelkit::ProtocolError);
  }

  // Missing: an empty object from both, and a new one every time.
  Json first = JsonFileHandler::load_data("missing.json");
  first["changed"] = true;
  EXPECT_EQ(JsonFileHandler::load_data("missing.json"), Json::object());
  EXPECT_EQ(JsonFileHandler::load_data_strict("missing.json"), Json::object());
  EXPECT_EQ(JsonFileHandler::load_data_strict("x.json", "no/such/dir"), Json::object());

  // Valid non-object documents come back as they are.
  write("json/null.json", "null");
  EXPECT_TRUE(JsonFileHandler::load_data("null.json").is_null());
  write("json/array.json", "\n [1, \"two\", {\"3\": 3}] \n");
  EXPECT_EQ(JsonFileHandler::load_data("array.json"), Json::parse(R"([1, "two", {"3": 3}])"));
  write("json/text.json", "\"测试\"");
  EXPECT_EQ(JsonFileHandler::load_data("text.json"), Json("测试"));
}

TEST_F(DocStore, OnlyUtf8IsAccepted) {
  JsonFileHandler::save_data(kRecord, "latin.json", std::nullopt, 2, false, "latin-1");
  EXPECT_FALSE(fs::exists("json/latin.json"));
  for (const char* spelling : {"UTF-8", "utf8", "Utf_8"}) {
    JsonFileHandler::save_data(kRecord, "u.json", std::nullopt, 2, false, spelling);
    EXPECT_EQ(JsonFileHandler::load_data("u.json", std::nullopt, spelling), kRecord) << spelling;
  }
  EXPECT_EQ(JsonFileHandler::load_data("u.json", std::nullopt, "ascii"), Json::object());
  EXPECT_THROW(JsonFileHandler::load_data_strict("u.json", std::nullopt, "latin-1"), qelkit::InvalidArgumentError);
}

// Makes writes beyond `limit` bytes fail for real (EFBIG) while in scope.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    ok_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  sighandler_t old_handler_;
  bool ok_ = false;
};

TEST_F(DocStore, FailedWriteLeavesTheOldFileAndNoTemporary) {
  JsonFileHandler::save_data(Json{{"account", "old session"}}, "data.json");
  const std::string before = read("json/data.json");
  ASSERT_LT(before.size(), 64u);

  Json big = Json::object();
  for (int i = 0; i < 20; ++i) big["account" + std::to_string(i)] = "a fairly long encrypted session id";
  {
    FileSizeLimit limit(64);
    ASSERT_TRUE(limit.ok());
    EXPECT_NO_THROW(JsonFileHandler::save_data(big, "data.json"));
  }
  EXPECT_EQ(read("json/data.json"), before);
  EXPECT_EQ(entries("json"), std::vector<std::string>{"data.json"});

  // A document that cannot be written at all (not UTF-8) changes nothing either.
  JsonFileHandler::save_data(Json{{"bad", std::string("\xFF")}}, "data.json");
  EXPECT_EQ(read("json/data.json"), before);
  EXPECT_EQ(entries("json"), std::vector<std::string>{"data.json"});

  // Without the limit the same save goes through.
  JsonFileHandler::save_data(big, "data.json");
  EXPECT_EQ(JsonFileHandler::load_data("data.json"), big);
}

TEST_F(DocStore, NewFilesFollowTheUmaskAndReplacedFilesKeepTheirMode) {
  const mode_t old_umask = ::umask(022);
  JsonFileHandler::save_data(kRecord, "new.json");
  EXPECT_EQ(mode_of("json/new.json"), 0644u);
  ::umask(077);
  JsonFileHandler::save_data(kRecord, "private.json");
  EXPECT_EQ(mode_of("json/private.json"), 0600u);

  ASSERT_EQ(::chmod("json/new.json", 0640), 0);
  JsonFileHandler::save_data(Json{{"v", 2}}, "new.json");
  EXPECT_EQ(mode_of("json/new.json"), 0640u);
  EXPECT_EQ(JsonFileHandler::load_data("new.json"), Json({{"v", 2}}));
  ::umask(old_umask);

  // Through a symbolic link, the linked file is replaced and the link stays.
  fs::create_symlink("new.json", "json/link.json");
  JsonFileHandler::save_data(Json{{"v", 3}}, "link.json");
  EXPECT_TRUE(fs::is_symlink("json/link.json"));
  EXPECT_EQ(JsonFileHandler::load_data("new.json"), Json({{"v", 3}}));
  EXPECT_EQ(mode_of("json/new.json"), 0640u);
}

ino_t inode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0);
  return st.st_ino;
}

TEST_F(DocStore, AHardLinkedFileIsRewrittenInPlaceSoEveryLinkSeesTheNewDocument) {
  JsonFileHandler::save_data(Json{{"v", 1}, {"padding", std::string(300, 'p')}}, "data.json");
  fs::create_hard_link("json/data.json", "backup.json");
  const ino_t inode = inode_of("json/data.json");

  JsonFileHandler::save_data(Json{{"v", 2}}, "data.json");  // shorter than before
  EXPECT_EQ(read("json/data.json"), "{\n  \"v\": 2\n}");
  EXPECT_EQ(read("backup.json"), read("json/data.json"));
  EXPECT_EQ(inode_of("json/data.json"), inode);
  JsonFileHandler::save_data(Json{{"v", 3}, {"more", std::string(500, 'm')}}, "data.json");  // longer
  EXPECT_EQ(JsonFileHandler::load_data("./backup.json"), JsonFileHandler::load_data("data.json"));
  EXPECT_EQ(JsonFileHandler::load_data("data.json")["v"], 3);
  EXPECT_EQ(entries("json"), std::vector<std::string>{"data.json"});
}

TEST_F(DocStore, ABindMountedFileIsRewrittenInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
  JsonFileHandler::save_data(Json{{"v", 1}}, "data.json");
  write("outside.json", "{\"v\": 0}");
  qelkit::testing::ScopedBindMount mount(dir_ / "outside.json", dir_ / "json/data.json");
  if (!mount.ok()) GTEST_SKIP() << "cannot bind-mount here: " << mount.error();

  JsonFileHandler::save_data(Json{{"v", 2}, {"text", "bound"}}, "data.json");
  EXPECT_EQ(JsonFileHandler::load_data("data.json"), Json({{"v", 2}, {"text", "bound"}}));
  EXPECT_EQ(read("outside.json"), read("json/data.json"));
  EXPECT_EQ(entries("json"), std::vector<std::string>{"data.json"});
}

TEST_F(DocStore, PermissionsDecideWhatIsWritten) {
  // An unprivileged writer: root passes every permission check.
  ASSERT_EQ(::chown(dir_.c_str(), qelkit::testing::unprivileged_uid(), static_cast<gid_t>(-1)), 0);
  std::string outcome = qelkit::testing::as_unprivileged([&]() -> std::string {
    fs::create_directory("json");
    // A file the caller may not write stays as it is, even in a writable directory.
    write("json/readonly.json", "{\"v\": 0}");
    if (::chmod("json/readonly.json", 0444) != 0) return "chmod";
    JsonFileHandler::save_data(Json{{"v", 1}}, "readonly.json");
    if (read("json/readonly.json") != "{\"v\": 0}") return "a read-only file was replaced";

    // A writable file in a read-only directory is written in place; a new
    // file there cannot be made, silently.
    write("json/data.json", "{\"v\": 0}");
    if (::chmod("json", 0555) != 0) return "chmod json";
    JsonFileHandler::save_data(Json{{"v", 2}}, "data.json");
    JsonFileHandler::save_data(Json{{"v", 3}}, "absent.json");
    ::chmod("json", 0755);
    if (read("json/data.json") != "{\n  \"v\": 2\n}") return "in place: " + read("json/data.json");
    if (fs::exists("json/absent.json")) return "a file appeared in a read-only directory";
    if (entries("json") != std::vector<std::string>{"data.json", "readonly.json"}) return "left-overs";
    return "";
  });
  EXPECT_EQ(outcome, "");
}

TEST_F(DocStore, FloatsAreWrittenInTheirShortestRoundTripForm) {
  const std::vector<std::pair<double, std::string>> cases = {
      {2779143.036387, "2779143.036387"},
      {1e23, "1e+23"},
      {0.1, "0.1"},
      {100.0, "100.0"},
      {-0.0, "-0.0"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {1e15, "1000000000000000.0"},
      {-1234567890123456.8, "-1234567890123456.8"},
      {1e16, "1e+16"},
      {1.5e300, "1.5e+300"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {123456.789e-20, "1.23456789e-15"},
  };
  for (const auto& [value, text] : cases) {
    JsonFileHandler::save_data(Json{{"x", value}}, "f.json", std::nullopt, 0);
    EXPECT_EQ(read("json/f.json"), "{\n\"x\": " + text + "\n}") << text;
  }

  // Everything else stays as the serializer writes it, texts that look like
  // the float markers and non-ASCII escapes included.
  Json doc = Json::object();
  doc["@F0#0@"] = "@F0#1@";
  doc["list"] = Json::array({1, "\"@F1#", true, nullptr, std::nan(""), 2.5, "caf\u00e9 \xF0\x9F\x98\x80"});
  doc["nested"] = {{"half", 0.5}, {"empty", Json::object()}};
  JsonFileHandler::save_data(doc, "mixed.json", std::nullopt, 2, true);
  EXPECT_EQ(read("json/mixed.json"), doc.dump(2, ' ', true));

  // Random doubles read back exactly.
  std::mt19937_64 random(7);
  std::vector<double> values;
  while (values.size() < 3000) {
    double d;
    std::uint64_t bits = random();
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
  }
  JsonFileHandler::save_data(Json{{"random", values}}, "random.json");
  const Json back = JsonFileHandler::load_data("random.json");
  ASSERT_EQ(back["random"].size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(back["random"][i].get<double>(), values[i]) << i;
}

// `levels` arrays nested in each other around a 1.
Json nested_arrays(int levels) {
  Json doc = 1;
  for (int i = 0; i < levels; ++i) doc = Json::array({std::move(doc)});
  return doc;
}

TEST_F(DocStore, DocumentsNestedTooDeepAreNeitherReadNorWritten) {
  fs::create_directory("json");
  // Nested 100,000 levels deep, a document exhausts the stack of any code
  // that walks it: it is refused while it is parsed.
  const std::pair<std::string, std::string> deep[] = {
      {std::string(100000, '['), std::string(100000, ']')},
      {[] {
         std::string open;
         for (int i = 0; i < 100000; ++i) open += "{\"a\": ";
         return open + "1";
       }(),
       std::string(100000, '}')},
  };
  for (const auto& [open, close] : deep) {
    write("json/deep.json", open + close);
    EXPECT_EQ(JsonFileHandler::load_data("deep.json"), Json::object());
    try {
      JsonFileHandler::load_data_strict("deep.json");
      ADD_FAILURE() << "a deep document was read";
    } catch (const qelkit::ProtocolError& e) {
      EXPECT_THAT(e.what(), HasSubstr("'json/deep.json' is not usable: it nests deeper than 512 levels"));
    }
  }

  // The limit: 512 levels are read and written, 513 are not. save_data
  // writes nothing, silently; save_private_data says why.
  write("json/limit.json", nested_arrays(512).dump());
  EXPECT_EQ(JsonFileHandler::load_data("limit.json"), nested_arrays(512));
  write("json/beyond.json", nested_arrays(513).dump());
  EXPECT_EQ(JsonFileHandler::load_data("beyond.json"), Json::object());

  JsonFileHandler::save_data(nested_arrays(513), "written.json");
  EXPECT_FALSE(fs::exists("json/written.json"));
  EXPECT_THROW(JsonFileHandler::save_private_data(nested_arrays(513), "written.json"), qelkit::InvalidArgumentError);
  EXPECT_FALSE(fs::exists("json/written.json"));
  JsonFileHandler::save_data(nested_arrays(512), "written.json");
  EXPECT_EQ(JsonFileHandler::load_data("written.json"), nested_arrays(512));
}

TEST_F(DocStore, TemporariesKilledWritersLeftAreRemovedByTheNextWrite) {
  JsonFileHandler::save_data(Json{{"v", 1}}, "data.json");
  // Our naming pattern, our regular files, nobody holding their lock: left
  // by writers that were killed.
  write("json/.data.json.tmp-Ab3-_z", "{\"v\": 0");
  write("json/.data.json.tmp-000000", "");
  // Not to be removed: other names, what is not a regular file of ours with
  // one link, and a temporary whose writer is alive (it holds the lock).
  const std::vector<std::string> other_names = {".data.json.tmp-abc", ".data.json.tmp-abcdefg",
                                                ".data.json.tmp-ab.cde", ".other.json.tmp-abcdef",
                                                "data.json.tmp-abcdef"};
  for (const std::string& name : other_names) write("json/" + name, "x");
  fs::create_directory("json/.data.json.tmp-dirdir");
  write("kept.json", "x");
  fs::create_symlink(dir_ / "kept.json", "json/.data.json.tmp-symlnk");
  write("json/.data.json.tmp-linked", "x");
  fs::create_hard_link("json/.data.json.tmp-linked", "elsewhere.json");
  write("json/.data.json.tmp-inuse0", "x");
  const int live = ::open("json/.data.json.tmp-inuse0", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(live, 0);
  ASSERT_EQ(::flock(live, LOCK_EX), 0);
  std::vector<std::string> kept = other_names;
  for (const char* name : {".data.json.tmp-dirdir", ".data.json.tmp-symlnk", ".data.json.tmp-linked",
                           ".data.json.tmp-inuse0", "data.json"}) {
    kept.push_back(name);
  }
  if (::geteuid() == 0) {
    write("json/.data.json.tmp-nobody", "x");
    ASSERT_EQ(::chown("json/.data.json.tmp-nobody", qelkit::testing::kOtherUid, qelkit::testing::kOtherGid), 0);
    kept.push_back(".data.json.tmp-nobody");
  }
  std::sort(kept.begin(), kept.end());

  JsonFileHandler::save_data(Json{{"v", 2}}, "data.json");
  EXPECT_EQ(entries("json"), kept);
  EXPECT_EQ(JsonFileHandler::load_data("data.json"), Json({{"v", 2}}));

  // Once its writer is gone, the next write removes it too.
  ::close(live);
  JsonFileHandler::save_data(Json{{"v", 3}}, "data.json");
  kept.erase(std::find(kept.begin(), kept.end(), ".data.json.tmp-inuse0"));
  EXPECT_EQ(entries("json"), kept);
}

}  // namespace
