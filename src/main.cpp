// Process entry: everything else is the engine's.
#include <csignal>
#include <string_view>
#include <vector>

#include "engine/engine.h"

int main(int argc, char** argv) {
  // A reader that went away, or a file grown past the size limit, must show up as a failed write
  // (EPIPE, EFBIG) that ends in an error document, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string_view> arguments(argv, argv + argc);
  return tessamer::run_engine(arguments);
}
