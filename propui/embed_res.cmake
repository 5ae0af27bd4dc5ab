# Turns the compiled resources (.res) into a C++ source that holds their bytes,
# so that the host tests load the DLL's module from the very templates that
# ship. Run with -DINPUT=<.res> -DOUTPUT=<.cpp>.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Sixteen bytes a line.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from serhubpp.rc by embed_res.cmake; do not edit.
#include \"serhubpp_res.h\"

namespace serhubpp {

const unsigned char kResourceBytes[] = {
  ${bytes}
};
const size_t kResourceSize = ${size};

}  // namespace serhubpp
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
