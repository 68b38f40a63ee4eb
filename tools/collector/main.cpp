// quellmark_collector: the loopback measurement service for development and tests.
//
//   quellmark_collector [--port N] [--config FILE] [--respond SCRIPT] [--duration SECONDS]
//                       [--port-file FILE]
//
// Listens on 127.0.0.1 (port N, or any free port), prints {"listening": PORT} and then one JSON
// line per request it receives, decoded; stops on SIGINT or SIGTERM, or after SECONDS. FILE is an
// encoded measurement configuration served to configuration requests. SCRIPT scripts answers, see
// collector.h. --port-file writes the port to FILE once listening.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "tools/collector/collector.h"

namespace {

int Usage(const std::string& problem) {
  std::cerr << "quellmark_collector: " << problem << "\n"
            << "usage: quellmark_collector [--port N] [--config FILE] [--respond SCRIPT] "
               "[--duration SECONDS] [--port-file FILE]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  collector::Options options;
  double duration = 0;
  std::string portFile;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) return Usage("missing value after " + flag);
    const std::string value = argv[++i];
    try {
      if (flag == "--port") {
        options.port = std::stoi(value);
        if (options.port < 0 || options.port > 65535) return Usage("bad port");
      } else if (flag == "--duration") {
        duration = std::stod(value);
      } else if (flag == "--port-file") {
        portFile = value;
      } else if (flag == "--config") {
        std::ifstream in(value, std::ios::binary);
        if (!in) return Usage("cannot read " + value);
        options.config = fnd::Data(std::istreambuf_iterator<char>(in), {});
        if (!collector::DescribeConfig(*options.config)) {
          return Usage(value + " is not a measurement configuration");
        }
      } else if (flag == "--respond") {
        std::string error;
        auto script = collector::ParseScript(value, &error);
        if (!script) return Usage(error);
        options.script = std::move(*script);
      } else {
        return Usage("unknown option " + flag);
      }
    } catch (...) {
      return Usage("bad value for " + flag);
    }
  }
  options.output = [](const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  };

  // Signals are taken synchronously below, not by handlers.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  collector::Collector server(std::move(options));
  if (!server.start()) {
    std::cerr << "quellmark_collector: cannot listen on 127.0.0.1\n";
    return 1;
  }
  std::printf("{\"listening\":%d}\n", server.port());
  std::fflush(stdout);
  if (!portFile.empty()) {
    std::ofstream out(portFile + ".tmp");
    out << server.port() << "\n";
    out.close();
    std::rename((portFile + ".tmp").c_str(), portFile.c_str());
  }
  if (duration > 0) {
    timespec timeout;
    timeout.tv_sec = static_cast<time_t>(duration);
    timeout.tv_nsec = static_cast<long>((duration - static_cast<double>(timeout.tv_sec)) * 1e9);
    while (sigtimedwait(&signals, nullptr, &timeout) < 0 && errno == EINTR) {
    }
  } else {
    int received = 0;
    sigwait(&signals, &received);
  }
  server.stop();
  return 0;
}
