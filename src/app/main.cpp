#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    CLI::App app{"Lumidex: desktop document search"};
    CLI11_PARSE(app, argc, argv);
    return 0;
}
