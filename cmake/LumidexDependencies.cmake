# Third-party libraries, found once and exposed as imported targets.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n data)
find_package(OpenSSL REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(CLI11 CONFIG QUIET)
if(NOT CLI11_FOUND)
  find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp REQUIRED)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  target_include_directories(CLI11::CLI11 INTERFACE "${CLI11_INCLUDE_DIR}")
endif()

pkg_check_modules(EXIV2 REQUIRED IMPORTED_TARGET exiv2)

# Standalone Asio is header-only; keep it out of widely included headers.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(lumidex_asio INTERFACE)
target_include_directories(lumidex_asio SYSTEM INTERFACE "${ASIO_INCLUDE_DIR}")
target_compile_definitions(lumidex_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(lumidex_asio INTERFACE Threads::Threads)
