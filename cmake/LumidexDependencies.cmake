# Third-party libraries, found once and exposed as imported targets.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n data)
find_package(OpenSSL REQUIRED)
# The crypto library is opened at run time (see the digest seam); only its headers and dlopen are linked.
add_library(lumidex_openssl_runtime INTERFACE)
target_include_directories(lumidex_openssl_runtime INTERFACE "${OPENSSL_INCLUDE_DIR}")
target_link_libraries(lumidex_openssl_runtime INTERFACE ${CMAKE_DL_LIBS})
find_package(SQLite3 REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(CLI11 CONFIG QUIET)
if(NOT CLI11_FOUND)
  find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp REQUIRED)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  target_include_directories(CLI11::CLI11 INTERFACE "${CLI11_INCLUDE_DIR}")
endif()

pkg_check_modules(EXIV2 REQUIRED IMPORTED_TARGET exiv2)
pkg_check_modules(POPPLER_CPP REQUIRED IMPORTED_TARGET poppler-cpp)
# The core library too (which images a page draws; Debian's libpoppler-private-dev has its headers). Its
# headers are given only to the one source that uses them (src/platform/CMakeLists.txt): their bare
# names (Error.h, Page.h, Object.h) must not shadow anything else.
pkg_check_modules(POPPLER_CORE REQUIRED poppler)
find_path(POPPLER_CORE_HEADERS OutputDev.h PATHS ${POPPLER_CORE_INCLUDE_DIRS} NO_DEFAULT_PATH REQUIRED)
pkg_check_modules(TESSERACT REQUIRED IMPORTED_TARGET tesseract)
pkg_check_modules(LEPT REQUIRED IMPORTED_TARGET lept)
pkg_check_modules(LIBPNG REQUIRED IMPORTED_TARGET libpng)
pkg_check_modules(LIBHEIF REQUIRED IMPORTED_TARGET libheif)
pkg_check_modules(LIBRAW REQUIRED IMPORTED_TARGET libraw_r)
pkg_check_modules(MAGICKPP REQUIRED IMPORTED_TARGET Magick++)
find_package(CURL REQUIRED)
find_package(ZLIB REQUIRED)

# Standalone Asio is header-only; keep it out of widely included headers.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(lumidex_asio INTERFACE)
target_include_directories(lumidex_asio SYSTEM INTERFACE "${ASIO_INCLUDE_DIR}")
target_compile_definitions(lumidex_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(lumidex_asio INTERFACE Threads::Threads)

# The executables' allocator. A scan makes and frees millions of small strings on several threads, and
# the C library's allocator spent a sixth of a first scan's CPU time on them (merging free lists above
# all); mimalloc replaces malloc for the whole process once an executable links this target.
# Off for sanitizer and valgrind builds, which bring their own allocator.
option(LUMIDEX_USE_MIMALLOC "Link the executables with mimalloc" ON)
add_library(lumidex_allocator INTERFACE)
if(LUMIDEX_USE_MIMALLOC)
  find_package(mimalloc 2 REQUIRED)
  target_link_libraries(lumidex_allocator INTERFACE mimalloc)
endif()

# Executables with the target property LUMIDEX_STATIC_RUNTIME set (the quick `lumidex`) link SQLite,
# ICU and the C++ runtime statically, and none of the document decoders, which their code never calls.
# Loading and relocating those shared libraries took a third of a command-line search. Off for
# sanitizer builds, and wherever the static archives are missing.
option(LUMIDEX_STATIC_QUICK_BINARY "Link SQLite, ICU and the C++ runtime of the quick lumidex binary statically" ON)
if(LUMIDEX_STATIC_QUICK_BINARY)
  find_library(LUMIDEX_SQLITE3_ARCHIVE NAMES libsqlite3.a REQUIRED)
  find_library(LUMIDEX_ICU_I18N_ARCHIVE NAMES libicui18n.a REQUIRED)
  find_library(LUMIDEX_ICU_UC_ARCHIVE NAMES libicuuc.a REQUIRED)
  find_library(LUMIDEX_ICU_DATA_ARCHIVE NAMES libicudata.a REQUIRED)
  find_library(LUMIDEX_ZLIB_ARCHIVE NAMES libz.a REQUIRED)
endif()
set(static_runtime "$<BOOL:$<TARGET_PROPERTY:LUMIDEX_STATIC_RUNTIME>>")
add_library(lumidex_sqlite_link INTERFACE)
target_link_libraries(lumidex_sqlite_link INTERFACE
  "$<$<NOT:${static_runtime}>:SQLite::SQLite3>"
  "$<${static_runtime}:${LUMIDEX_SQLITE3_ARCHIVE};m;${CMAKE_DL_LIBS};Threads::Threads>")
add_library(lumidex_icu_link INTERFACE)
target_link_libraries(lumidex_icu_link INTERFACE
  "$<$<NOT:${static_runtime}>:ICU::uc;ICU::i18n;ICU::data>"
  "$<${static_runtime}:${LUMIDEX_ICU_I18N_ARCHIVE};${LUMIDEX_ICU_UC_ARCHIVE};${LUMIDEX_ICU_DATA_ARCHIVE};${CMAKE_DL_LIBS}>")
add_library(lumidex_zlib_link INTERFACE)
target_link_libraries(lumidex_zlib_link INTERFACE
  "$<$<NOT:${static_runtime}>:ZLIB::ZLIB>"
  "$<${static_runtime}:${LUMIDEX_ZLIB_ARCHIVE}>")
add_library(lumidex_decoders_link INTERFACE)
target_link_libraries(lumidex_decoders_link INTERFACE
  "$<$<NOT:${static_runtime}>:PkgConfig::EXIV2;PkgConfig::POPPLER_CPP;${POPPLER_CORE_LINK_LIBRARIES};PkgConfig::TESSERACT;PkgConfig::LEPT;PkgConfig::LIBPNG;PkgConfig::LIBHEIF;PkgConfig::LIBRAW;PkgConfig::MAGICKPP>")
