#include "driver/run.h"

#include <iostream>

#include "core/stop.h"

namespace zeb {

int run_main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  try {
    std::cout << "           ZEB BEGIN!            \n";
    stop_run_normally();
  } catch (const RunStop& s) {
    return finish_stop(s);
  } catch (const RunError& e) {
    return finish_error(e);
  }
}

}  // namespace zeb
