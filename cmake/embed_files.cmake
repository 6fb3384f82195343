# SPDX-License-Identifier: MIT
# Writes a C++ source that holds files as byte arrays, for web_assets.hpp.
# Usage: cmake -DOUTPUT=web_assets.cpp -DINPUT_DIR=dir -DFILES="a.html;b.js" -P embed_files.cmake
# The files are embedded in the order given, which must be name order.
set(source "// Generated from ${INPUT_DIR} by embed_files.cmake. Do not edit.\n")
string(APPEND source "#include \"web_assets.hpp\"\n\nnamespace marrowvane_dat::cli {\nnamespace {\n\n")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${INPUT_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  # Sixteen bytes a line keeps the generated file readable in a diff.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
  string(APPEND source "constexpr char FILE_${index}[] = {\n${bytes}'\\0'};\n\n")
  string(APPEND table "    {\"${name}\", std::string_view(FILE_${index}, ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND source "constexpr WebAsset ASSETS[] = {\n${table}};\n\n}  // namespace\n\n")
string(APPEND source "std::span<const WebAsset> web_assets() noexcept {\n  return ASSETS;\n}\n\n")
string(APPEND source "}  // namespace marrowvane_dat::cli\n")
file(WRITE "${OUTPUT}.tmp" "${source}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
