// A host program whose main returns while a detailed query runs on a thread
// of its own: `exiting_host ACCOUNT TIME waited|daemon [MS]`, returning at
// once or after MS milliseconds (when the query is under way). The thread prints
// "rows N" when the query is done. With "waited" the process must wait for
// it at exit; with "daemon" it may end first, but must end cleanly.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "qelkit/common/thread.hpp"
#include "qelkit/sdk/qelfacade.hpp"

namespace {

class Query : public qelkit::Thread {
 public:
  Query(std::string account, std::int64_t time) : account_(std::move(account)), time_(time) {}

 protected:
  void run() override {
    std::string line;
    try {
      qelkit::Json result = qelkit::QelDriver::get_detailed_data_statistic(account_, time_);
      line = "rows " + std::to_string(result.is_object() ? result["data"].size() : std::size_t{0}) + "\n";
    } catch (const std::exception& e) {
      line = std::string("failed: ") + e.what() + "\n";
    }
    // One write, not stdio: exit() flushes stdout without its lock, so a
    // buffered line could go out twice when main returns meanwhile.
    (void)!::write(STDOUT_FILENO, line.data(), line.size());
  }

 private:
  std::string account_;
  std::int64_t time_;
};

}  // namespace

int main(int argc, char** argv) {
  qelkit::handle_child_task(argc, argv);
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: exiting_host ACCOUNT TIME waited|daemon [MS]\n");
    return 2;
  }
  auto query = std::make_shared<Query>(argv[1], std::strtoll(argv[2], nullptr, 10));
  query->daemon = std::string(argv[3]) == "daemon";
  query->start();
  if (argc == 5) std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[4])));
  return 0;  // at once: the query is still running
}
