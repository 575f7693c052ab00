#include "app/convert_service_command.h"

#include <CLI/CLI.hpp>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include "app/stop_signals.h"
#include "cloud/conversion_service.h"
#include "cloud/libreoffice_converter.h"
#include "core/app_log.h"
#include "core/data_directory.h"

namespace lumidex {
namespace {

constexpr uint16_t defaultPort = 44490;


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

    const int stopSignals = installStopSignals("convert-service");

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

    waitForStopSignal(stopSignals);
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
