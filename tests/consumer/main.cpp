// A host program built against the installed qelkit package.
#include <iostream>

#include "qelkit/sdk/qelfacade.hpp"

int main(int argc, char** argv) {
  qelkit::handle_child_task(argc, argv);  // runs the login completion in "-c" children
  // No account is stored here: an empty list, without asking the platform.
  std::cout << qelkit::QelDriver::get_data_statistic("nobody", 0, 1).dump() << "\n";
}
