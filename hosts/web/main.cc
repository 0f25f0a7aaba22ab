// vornweb: the platform's automation objects on a web page served on
// 127.0.0.1. Prints the page's address with its token as its first line,
// then logs one line per request on standard output (what members print goes
// there too) until SIGINT or SIGTERM.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hosts/web/web_server.h"

namespace {

constexpr char kUsage[] =
    "usage: vornweb [--port N] [--page DIR]\n"
    "  Serves the automation objects registered in $VORN_ROOT to a web page on\n"
    "  127.0.0.1 (port N, default any free one) and prints the page's address.\n"
    "  The page is built into the program; --page DIR serves the files of DIR\n"
    "  instead (to try changes to the page without building).\n";

}  // namespace

int main(int argc, char** argv) {
  vornweb::ServerOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--port" && i + 1 < argc) {
      char* end = nullptr;
      const long port = std::strtol(argv[++i], &end, 10);
      if (!*argv[i] || *end || port < 0 || port > 65535) {
        std::fprintf(stderr, "vornweb: bad port %s\n", argv[i]);
        return 2;
      }
      options.port = static_cast<int>(port);
    } else if (arg == "--page" && i + 1 < argc) {
      options.pageDir = argv[++i];
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  signal(SIGPIPE, SIG_IGN);
  // Every thread inherits the mask; the signals are taken by sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  vornweb::WebServer server(options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "vornweb: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", server.Url().c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  server.Stop();
  return 0;
}
