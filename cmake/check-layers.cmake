# Checks the layers of the panel's sources: nothing in link/ (ports, message
# table, connection) includes a header of pages/ or firmware/, and pages/ and
# firmware/ include nothing of each other. What the unit sends reaches the
# pages and the update through the router in app/.
#
#   cmake -DROOT=<source folder> -P cmake/check-layers.cmake
#
# Fails with every offending include line.
if(NOT ROOT)
  message(FATAL_ERROR "ROOT not set")
endif()

set(violations "")
set(checked 0)
foreach(rule "link:pages" "link:firmware" "pages:firmware" "firmware:pages")
  string(REPLACE ":" ";" pair "${rule}")
  list(GET pair 0 folder)
  list(GET pair 1 forbidden)
  file(GLOB_RECURSE files "${ROOT}/${folder}/*.h" "${ROOT}/${folder}/*.hpp" "${ROOT}/${folder}/*.cpp"
       "${ROOT}/${folder}/*.inc")
  foreach(file IN LISTS files)
    math(EXPR checked "${checked} + 1")
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS includes)
      if(line MATCHES "[\"<]([^\">]*/)?${forbidden}/")
        file(RELATIVE_PATH name "${ROOT}" "${file}")
        list(APPEND violations "${name}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no sources found under ${ROOT}")
endif()
if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "layer violations:\n  ${text}")
endif()
message(STATUS "layers kept (${checked} files checked)")
