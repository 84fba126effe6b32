// qelkit: the reference host program over the SDK's facade.
#include "apps/qelkit/cli.hpp"
#include "qelkit/sdk/qelfacade.hpp"

int main(int argc, char** argv) {
  // A login started by this program completes in a child of it ("-c").
  qelkit::handle_child_task(argc, argv);
  return qelkit::cli::run(argc, argv);
}
