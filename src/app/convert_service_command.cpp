#include "app/convert_service_command.h"

#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "cloud/conversion_service.h"
#include "cloud/libreoffice_converter.h"
#include "core/app_log.h"
#include "core/data_directory.h"

namespace lumidex {
namespace {

constexpr uint16_t defaultPort = 44490;

// A stop signal writes one byte here; the main thread waits on the other end.
int stopPipe[2] = {-1, -1};

extern "C" void onConvertServiceStop(int) {
    const char byte = 's';
    [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
}

struct ConvertServiceArguments {
    uint16_t port = defaultPort;
    std::string host = "127.0.0.1";
    std::string key;
};

void runConvertService(const ConvertServiceArguments& arguments) {
    cloud::LibreOfficeConverterOptions converterOptions;
    // Its own profile: an office profile cannot be shared with the indexer's converter running meanwhile.
    converterOptions.profileDirectory = dataDirectory() / "office-converter-service";
    auto converter = std::make_unique<cloud::LibreOfficeConverter>(std::move(converterOptions));
    if (const auto missing = converter->unavailableReason()) {
        std::cerr << "lumidex convert-service: nothing can be converted here: " << *missing << '\n';
        throw CLI::RuntimeError(1);
    }

    auto printing = std::make_shared<std::mutex>();
    cloud::ConversionServiceOptions options;
    options.host = arguments.host;
    options.port = arguments.port;
    options.apiKey = arguments.key;
    options.workDirectory = dataDirectory() / "convert-service";
    options.log = [printing](std::string_view line) {
        appLog(line);
        std::lock_guard lock(*printing);
        std::cout << line << std::endl;
    };
    cloud::ConversionService service(std::move(converter), std::move(options));

    if (::pipe(stopPipe) != 0) {
        std::cerr << "lumidex convert-service: cannot prepare for stop signals\n";
        throw CLI::RuntimeError(1);
    }
    struct sigaction action {};
    action.sa_handler = onConvertServiceStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;  // a second signal ends the process the default way
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    std::string error;
    if (!service.start(error)) {
        std::cerr << "lumidex convert-service: " << error << '\n';
        throw CLI::RuntimeError(1);
    }
    {
        std::lock_guard lock(*printing);
        std::cout << "Conversion service listening on " << arguments.host << ":" << service.port()
                  << (arguments.host == "0.0.0.0" || arguments.host == "::" ? " (other machines on the network may connect)" : "")
                  << '\n'
                  << (arguments.key.empty() ? "  No key is required (--key KEY asks callers for one as \"X-API-Key\").\n"
                                            : "  Callers must send the key as \"X-API-Key\".\n")
                  << "Press Ctrl-C to stop." << std::endl;
    }

    pollfd waiting{stopPipe[0], POLLIN, 0};
    while (::poll(&waiting, 1, -1) < 0 && errno == EINTR) {
    }
    std::cout << "\nStopping ..." << std::endl;
    service.stop();
    std::cout << "Stopped." << std::endl;
}

}  // namespace

void addConvertServiceCommand(CLI::App& app) {
    auto arguments = std::make_shared<ConvertServiceArguments>();
    auto* command = app.add_subcommand("convert-service",
                                       "Convert office files to PDF for other machines' Lumidex, with this machine's LibreOffice");
    command->add_option("--port", arguments->port, "port to listen on (0: any free port)")->default_val(defaultPort);
    command->add_option("--host", arguments->host, "address to listen on; 0.0.0.0 lets other machines connect")
        ->default_val("127.0.0.1");
    command->add_option("--key", arguments->key, "key callers must send as \"X-API-Key\" (default: none)");
    command->callback([arguments] { runConvertService(*arguments); });
}

}  // namespace lumidex
