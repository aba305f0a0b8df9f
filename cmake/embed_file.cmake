# cmake -DIN=file -DOUT=file.cpp -DNAME=kName -DNAMESPACE=ns -DHEADER=path.h -P embed_file.cmake
# Writes a C++ source holding the bytes of IN as `const char NAME[]` (with a
# terminating NUL that NAME##Size leaves out), so a page or a text can be part
# of the program without being read at run time.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUT}.tmp"
  "// Generated from ${IN} by embed_file.cmake; do not edit.\n"
  "#include \"${HEADER}\"\n\nnamespace ${NAMESPACE} {\n\n"
  "const char ${NAME}[] = {\n${bytes}'\\0'};\n"
  "const size_t ${NAME}Size = ${size};\n\n}  // namespace ${NAMESPACE}\n")
file(RENAME "${OUT}.tmp" "${OUT}")
