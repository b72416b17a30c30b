# The firmware image an executable carries and installs into the unit:
# resource "FirmwareFile" of type "BINTYPE", and beside it the marker of which
# kind of image that is: resource RCDATA "FirmwareKind" holding exactly one of
#
#   zembrax-firmware-image: none
#   zembrax-firmware-image: stand-in
#   zembrax-firmware-image: given <the image's 32-character header>
#
# (plain ASCII, so `grep -a` finds it in the executable; the packaging refuses
# an executable marked stand-in).
#
# Two kinds of executables:
#   - the product (build/zembrax-panel.exe, the program a user runs) carries
#     the image given with -DZEMBRAX_FIRMWARE_IMAGE=<path>, or none at all;
#   - the demo (build/demo/) and the tests carry the generated stand-in test
#     image firmware/image/zembrax-hd-3.01-STAND-IN-test-image.hex, which
#     holds no firmware, so the whole update can be seen and tested against
#     the simulated unit. It is never built into the product.
#
# Usage, in the top CMakeLists.txt after project():
#
#   include(cmake/FirmwareImage.cmake)
#   zembrax_add_product_firmware(<target>)   # the given image, or none
#   zembrax_add_stand_in_firmware(<target>)  # the stand-in (demo, tests)
#   # the maker's web address for the sources that show it:
#   target_compile_definitions(panel_core PRIVATE ${FIRMWARE_COMPILE_DEFINITIONS})
#
# Cache variables:
#   ZEMBRAX_FIRMWARE_IMAGE     (FILEPATH) the image for the product; empty (the
#                              default): the product carries none. A relative
#                              path is taken from the top source directory. The
#                              stand-in, or a copy of it, is refused.
#   ZEMBRAX_MAKER_WEB_ADDRESS  (STRING) the maker's web address shown in the
#                              update help, default "www.kermaveld.example".
#
# Sets:
#   FIRMWARE_IMAGE                the product's image (absolute path), or empty
#   FIRMWARE_IMAGE_KIND           "none" or "given"
#   FIRMWARE_STAND_IN_IMAGE       the stand-in's absolute path
#   FIRMWARE_COMPILE_DEFINITIONS  ZEMBRAX_MAKER_WEB_ADDRESS="<address>" for C
#                                 and C++ sources (not passed to the resource
#                                 compiler, which mangles quoted definitions)
# Target:
#   firmware_image_check (in ALL): checks the images again whenever one of
#   them or cmake/verify-firmware-image.cmake changes.
#
# Every image is checked at configure time too (cmake/verify-firmware-image.cmake);
# a malformed image fails the configure with the checker's message.
include_guard(GLOBAL)

set(_FIRMWARE_IMAGE_VERIFIER "${CMAKE_CURRENT_LIST_DIR}/verify-firmware-image.cmake")
get_filename_component(FIRMWARE_STAND_IN_IMAGE
  "${CMAKE_CURRENT_LIST_DIR}/../firmware/image/zembrax-hd-3.01-STAND-IN-test-image.hex"
  ABSOLUTE)

set(ZEMBRAX_FIRMWARE_IMAGE "" CACHE FILEPATH
  "Firmware image built into zembrax-panel.exe (resource FirmwareFile, type BINTYPE); empty: none. Never the stand-in test image.")
set(ZEMBRAX_MAKER_WEB_ADDRESS "www.kermaveld.example" CACHE STRING
  "The maker's web address shown in the firmware update help")

# Checks an image at configure time; a malformed one stops the configure.
function(_zembrax_verify_image image what)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${image}" -P "${_FIRMWARE_IMAGE_VERIFIER}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    # Keep the checker's message, not where in the script it was raised.
    string(REGEX REPLACE "^CMake Error at [^\n]*\n" "" output "${output}")
    string(REGEX REPLACE "\nCall Stack.*" "" output "${output}")
    string(REGEX REPLACE "\n  " " " output "${output}")
    string(STRIP "${output}" output)
    message(FATAL_ERROR "Malformed firmware image (${what}):\n${output}")
  endif()
endfunction()

# Writes a file only when its text changes, so nothing is rebuilt on every configure.
function(_zembrax_write_if_changed path text)
  if(EXISTS "${path}")
    file(READ "${path}" old)
    if(old STREQUAL text)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${text}")
endfunction()

# --- The images -----------------------------------------------------------------
if(NOT EXISTS "${FIRMWARE_STAND_IN_IMAGE}")
  message(FATAL_ERROR "the stand-in test image is missing: ${FIRMWARE_STAND_IN_IMAGE}")
endif()
_zembrax_verify_image("${FIRMWARE_STAND_IN_IMAGE}" "the stand-in test image")
file(SHA256 "${FIRMWARE_STAND_IN_IMAGE}" _firmware_stand_in_hash)

# The stand-in by its own path was once the default: a build tree configured
# then still holds it. It never goes into the product; the product then
# carries none, as without a given image.
if(NOT ZEMBRAX_FIRMWARE_IMAGE STREQUAL "")
  get_filename_component(_firmware_real "${ZEMBRAX_FIRMWARE_IMAGE}" REALPATH BASE_DIR "${CMAKE_SOURCE_DIR}")
  get_filename_component(_firmware_stand_in_real "${FIRMWARE_STAND_IN_IMAGE}" REALPATH)
  if(_firmware_real STREQUAL _firmware_stand_in_real)
    message(WARNING "ZEMBRAX_FIRMWARE_IMAGE named the stand-in test image, which is never built into "
      "zembrax-panel.exe (the demo and the tests carry it). It is cleared: zembrax-panel.exe carries no "
      "firmware image. Give the real one with -DZEMBRAX_FIRMWARE_IMAGE=<path>.")
    set(ZEMBRAX_FIRMWARE_IMAGE "" CACHE FILEPATH
      "Firmware image built into zembrax-panel.exe (resource FirmwareFile, type BINTYPE); empty: none. Never the stand-in test image." FORCE)
  endif()
endif()

set(FIRMWARE_IMAGE "")
set(FIRMWARE_IMAGE_KIND "none")
if(NOT ZEMBRAX_FIRMWARE_IMAGE STREQUAL "")
  get_filename_component(FIRMWARE_IMAGE "${ZEMBRAX_FIRMWARE_IMAGE}" ABSOLUTE
    BASE_DIR "${CMAKE_SOURCE_DIR}")
  if(NOT EXISTS "${FIRMWARE_IMAGE}" OR IS_DIRECTORY "${FIRMWARE_IMAGE}")
    message(FATAL_ERROR "ZEMBRAX_FIRMWARE_IMAGE: no such file: ${FIRMWARE_IMAGE}")
  endif()
  if(FIRMWARE_IMAGE MATCHES "[\"\n\r]")
    message(FATAL_ERROR "ZEMBRAX_FIRMWARE_IMAGE: the path must not hold a double quote or a line break: ${FIRMWARE_IMAGE}")
  endif()
  file(SHA256 "${FIRMWARE_IMAGE}" _firmware_hash)
  if(_firmware_hash STREQUAL _firmware_stand_in_hash)
    message(FATAL_ERROR "ZEMBRAX_FIRMWARE_IMAGE is the stand-in test image (${FIRMWARE_IMAGE}): it holds "
      "no firmware and is never built into zembrax-panel.exe; the demo (build/demo/) and the tests carry "
      "it already. Give the real image, or leave ZEMBRAX_FIRMWARE_IMAGE empty for a build without one.")
  endif()
  _zembrax_verify_image("${FIRMWARE_IMAGE}" "ZEMBRAX_FIRMWARE_IMAGE")
  file(READ "${FIRMWARE_IMAGE}" _firmware_header LIMIT 32)
  set(FIRMWARE_IMAGE_KIND "given")
  message(STATUS "Firmware image: ${FIRMWARE_IMAGE} (${_firmware_header})")
else()
  message(STATUS "Firmware image: none (zembrax-panel.exe cannot update a unit; "
    "give one with -DZEMBRAX_FIRMWARE_IMAGE=<path>)")
endif()

# Checked again at build time whenever an image or the checker changes.
set(_firmware_stamp "${CMAKE_BINARY_DIR}/firmware_image.checked")
set(_firmware_check_commands
  COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${FIRMWARE_STAND_IN_IMAGE}" -P "${_FIRMWARE_IMAGE_VERIFIER}")
if(FIRMWARE_IMAGE)
  list(APPEND _firmware_check_commands
    COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${FIRMWARE_IMAGE}" -P "${_FIRMWARE_IMAGE_VERIFIER}")
endif()
add_custom_command(
  OUTPUT "${_firmware_stamp}"
  ${_firmware_check_commands}
  COMMAND "${CMAKE_COMMAND}" -E touch "${_firmware_stamp}"
  DEPENDS ${FIRMWARE_IMAGE} "${FIRMWARE_STAND_IN_IMAGE}" "${_FIRMWARE_IMAGE_VERIFIER}"
  COMMENT "Checking the firmware images"
  VERBATIM)
add_custom_target(firmware_image_check ALL DEPENDS "${_firmware_stamp}")

# --- The resource scripts and markers -------------------------------------------
# Forward slashes: the resource compiler reads backslashes in a quoted file
# name as escapes. The marker texts are files of their own, so the resource
# holds exactly their bytes (no quoting, no terminating zero).
set(_firmware_dir "${CMAKE_BINARY_DIR}/firmware")
file(MAKE_DIRECTORY "${_firmware_dir}")

set(_product_kind_text "zembrax-firmware-image: none")
if(FIRMWARE_IMAGE)
  set(_product_kind_text "zembrax-firmware-image: given ${_firmware_header}")
endif()
_zembrax_write_if_changed("${_firmware_dir}/product-kind.txt" "${_product_kind_text}")
_zembrax_write_if_changed("${_firmware_dir}/stand-in-kind.txt" "zembrax-firmware-image: stand-in")

set(_rc_head "// Generated by cmake/FirmwareImage.cmake; do not edit.\n")
set(_product_rc_text "${_rc_head}FirmwareKind RCDATA \"${_firmware_dir}/product-kind.txt\"\n")
if(FIRMWARE_IMAGE)
  file(TO_CMAKE_PATH "${FIRMWARE_IMAGE}" _firmware_rc_path)
  string(APPEND _product_rc_text "FirmwareFile BINTYPE \"${_firmware_rc_path}\"\n")
endif()
file(TO_CMAKE_PATH "${FIRMWARE_STAND_IN_IMAGE}" _stand_in_rc_path)
set(_stand_in_rc_text "${_rc_head}FirmwareKind RCDATA \"${_firmware_dir}/stand-in-kind.txt\"\n")
string(APPEND _stand_in_rc_text "FirmwareFile BINTYPE \"${_stand_in_rc_path}\"\n")
set(_FIRMWARE_PRODUCT_RC "${_firmware_dir}/product.rc")
set(_FIRMWARE_STAND_IN_RC "${_firmware_dir}/stand-in.rc")
_zembrax_write_if_changed("${_FIRMWARE_PRODUCT_RC}" "${_product_rc_text}")
_zembrax_write_if_changed("${_FIRMWARE_STAND_IN_RC}" "${_stand_in_rc_text}")
set(_FIRMWARE_PRODUCT_DEPENDS "${_firmware_dir}/product-kind.txt" ${FIRMWARE_IMAGE})
set(_FIRMWARE_STAND_IN_DEPENDS "${_firmware_dir}/stand-in-kind.txt" "${FIRMWARE_STAND_IN_IMAGE}")

# --- The maker's web address ----------------------------------------------------
if(NOT ZEMBRAX_MAKER_WEB_ADDRESS MATCHES "^[A-Za-z0-9._~:/?#@&=%+-]+$")
  message(FATAL_ERROR "ZEMBRAX_MAKER_WEB_ADDRESS \"${ZEMBRAX_MAKER_WEB_ADDRESS}\": "
    "only letters, digits and . _ ~ : / ? # @ & = % + - are allowed")
endif()
set(FIRMWARE_COMPILE_DEFINITIONS
  "$<$<COMPILE_LANGUAGE:C,CXX>:ZEMBRAX_MAKER_WEB_ADDRESS=\"${ZEMBRAX_MAKER_WEB_ADDRESS}\">")

# Adds a resource script to <target> (an executable, in any directory),
# recompiled when what it carries changes (the resource compiler's
# dependencies are not scanned) and built only after the images were checked.
function(_zembrax_add_firmware_rc target rc)
  target_sources(${target} PRIVATE "${rc}")
  set_property(SOURCE "${rc}" TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS ${ARGN})
  add_dependencies(${target} firmware_image_check)
endfunction()

# zembrax_add_product_firmware(<target>): the image of ZEMBRAX_FIRMWARE_IMAGE,
# or none, with its marker.
function(zembrax_add_product_firmware target)
  _zembrax_add_firmware_rc(${target} "${_FIRMWARE_PRODUCT_RC}" ${_FIRMWARE_PRODUCT_DEPENDS})
endfunction()

# zembrax_add_stand_in_firmware(<target>): the stand-in test image, marked
# stand-in. Only for the demo and the tests.
function(zembrax_add_stand_in_firmware target)
  _zembrax_add_firmware_rc(${target} "${_FIRMWARE_STAND_IN_RC}" ${_FIRMWARE_STAND_IN_DEPENDS})
endfunction()

unset(_firmware_real)
unset(_firmware_stand_in_real)
unset(_firmware_stand_in_hash)
unset(_firmware_hash)
unset(_firmware_header)
unset(_firmware_rc_path)
unset(_stand_in_rc_path)
unset(_product_kind_text)
unset(_product_rc_text)
unset(_stand_in_rc_text)
unset(_rc_head)
