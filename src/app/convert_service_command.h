// "convert-service [--port N] [--host H] [--key KEY]": this machine's LibreOffice as a conversion
// service for other machines' Lumidex (the stand-in of cloud/conversion_service.h). Prints where it
// listens and each job it takes; SIGINT or SIGTERM stop it, the conversion in progress included.
// Fails (exit 1) when LibreOffice is missing or the address cannot be bound.
#pragma once

namespace CLI {
class App;
}

namespace lumidex {

void addConvertServiceCommand(CLI::App& app);

}  // namespace lumidex
