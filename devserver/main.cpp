// devserver [--port N] [--ca-out FILE] [--log FILE]: serves the back ends on 127.0.0.1
// until SIGINT or SIGTERM. --help and --version answer without serving.

#include "devserver/DefaultRoutes.hpp"
#include "devserver/Server.hpp"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <pthread.h>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: devserver [--port N] [--ca-out FILE] [--log FILE]\n"
    "       devserver --help | --version\n"
    "Serves the portal and the services' back ends over HTTPS on 127.0.0.1 until SIGINT or SIGTERM.\n"
    "  --port N        the port (default 8443; 0 picks a free one); prints \"listening on 127.0.0.1:N\"\n"
    "  --ca-out FILE   writes the CA certificate (PEM) that signs the *.example.test certificate\n"
    "  --log FILE      appends one JSON object per request received\n";

int usage(const std::string& problem) {
    std::cerr << "devserver: " << problem << "\n" << kUsage;
    return 2;
}

bool parsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    port = std::stoi(text);
    return port <= 65535;
}

} // namespace

int main(int argc, char** argv) {
    devserver::Options options;
    options.port = 8443;
    // The wildcard covers one label under example.test; naming every served host also covers deeper ones
    // such as the portal's sub-domain.
    options.extraNames = devserver::servedHosts();
    std::string caOut;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "devserver 1.0\n";
            return 0;
        }
        if (arg != "--port" && arg != "--ca-out" && arg != "--log") {
            return usage("unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            return usage(arg + " needs a value");
        }
        const std::string value = argv[++i];
        if (arg == "--port") {
            if (!parsePort(value, options.port)) {
                return usage("invalid port " + value);
            }
        } else if (arg == "--ca-out") {
            caOut = value;
        } else {
            options.logFile = value;
        }
    }

    // Blocked before any server thread exists, so every thread inherits the mask and the
    // signals wait for sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    devserver::Server server;
    devserver::installDefaultRoutes(server);
    if (!server.start(options)) {
        std::cerr << "devserver: " << server.error() << "\n";
        return 1;
    }
    if (!caOut.empty() && !server.writeCa(caOut)) {
        std::cerr << "devserver: cannot write the CA certificate to " << caOut << "\n";
        return 1;
    }
    std::cout << "listening on 127.0.0.1:" << server.port() << std::endl;

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}
