// Demonstration run of the JSON file store. Works in the current directory:
// writes json/test.json, users/user1.json, configs/config.json and
// /tmp/absolute_test.json, printing one progress line after each step.
#include <exception>
#include <filesystem>
#include <iostream>

#include "qelkit/common/docstore.hpp"

int main() {
  using qelkit::Json;
  using qelkit::JsonFileHandler;
  try {
    std::filesystem::create_directories(JsonFileHandler::_default_base_dir);
    std::cout << "directory '" << JsonFileHandler::_default_base_dir << "' is ready\n";

    const Json record = {{"name", "测试数据"}, {"value", 123}, {"items", {"a", "b", "c"}}};
    JsonFileHandler::save_data(record, "test.json");
    std::cout << "saved the record to " << JsonFileHandler::get_file_path("test.json") << "\n";

    JsonFileHandler::save_data(record, "users/user1.json");
    std::cout << "saved the record to " << JsonFileHandler::get_file_path("users/user1.json") << "\n";

    for (const char* name : {"test.json", "users/user1.json"}) {
      const Json loaded = JsonFileHandler::load_data(name);
      std::cout << "loaded " << JsonFileHandler::get_file_path(name) << ": " << loaded.dump() << "\n";
    }

    JsonFileHandler::save_data({{"app_name", "MyApp"}, {"version", "1.0.0"}}, "config.json", "./configs");
    std::cout << "saved the configuration to " << JsonFileHandler::get_file_path("config.json", "./configs")
              << "\n";

    JsonFileHandler::save_data({{"test", "absolute"}}, "/tmp/absolute_test.json");
    std::cout << "saved to the absolute path /tmp/absolute_test.json\n";
  } catch (const std::exception& e) {
    std::cerr << "docstore-demo: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
