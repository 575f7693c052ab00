# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P EmbedFile.cmake
# Writes a C++ source defining `std::string_view NAME()` that returns the input file's bytes, so a
# resource ships inside the binary and needs no path at run time.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
math(EXPR size "${hexLength} / 2")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n#include <string_view>\n"
  "namespace {\nconstexpr char kBytes[] = {${bytes} '\\0'};\n}\n"
  "std::string_view ${SYMBOL}() { return std::string_view(kBytes, ${size}); }\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
