# Writes a C++ header holding files' bytes exactly, one std::string_view each:
#   cmake -DOUT=header.h -DNAMESPACE=ns -DFILES="kName=path;kOther=path" -P Embed.cmake
set(text "// Generated at build time from the files named below; never edited.\n#pragma once\n\n#include <string_view>\n\nnamespace ${NAMESPACE} {\n")
foreach(pair IN LISTS FILES)
  string(REGEX MATCH "^([A-Za-z0-9_]+)=(.*)$" _ "${pair}")
  set(name "${CMAKE_MATCH_1}")
  set(path "${CMAKE_MATCH_2}")
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  get_filename_component(base "${path}" NAME)
  string(APPEND text "\n// ${base}\ninline const unsigned char ${name}Bytes[${size} + 1] = {${bytes}0};\n"
                     "inline const std::string_view ${name}{reinterpret_cast<const char*>(${name}Bytes), ${size}};\n")
endforeach()
string(APPEND text "\n}  // namespace ${NAMESPACE}\n")
# Rewritten only when it changes, so that nothing rebuilds for nothing.
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUT}" "${text}")
