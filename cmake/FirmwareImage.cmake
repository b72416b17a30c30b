# The firmware image the panel carries and installs into the unit: resource
# "FirmwareFile" of type "BINTYPE" in the panel's executable.
#
# Usage, in the top CMakeLists.txt after project():
#
#   include(cmake/FirmwareImage.cmake)
#
#   # the image as a resource of an executable, checked before it is built:
#   add_executable(zembrax-panel WIN32 app/main.cpp ${PANEL_RESOURCES} ${FIRMWARE_IMAGE_RC})
#   add_dependencies(zembrax-panel firmware_image_check)
#   #   or, for an executable in any directory (the tests), in one call:
#   #   zembrax_add_firmware_image(<target>)
#
#   # the maker's web address for the sources that show it:
#   target_compile_definitions(panel_core PRIVATE ${FIRMWARE_COMPILE_DEFINITIONS})
#
# Cache variables:
#   ZEMBRAX_FIRMWARE_IMAGE     (FILEPATH) the image to build in. The default is
#                              the generated stand-in test image
#                              firmware/image/zembrax-hd-3.01-STAND-IN-test-image.hex,
#                              which holds no firmware; a build with it warns.
#                              For a release: -DZEMBRAX_FIRMWARE_IMAGE=/path/to/image.hex
#                              (a relative path is taken from the top source
#                              directory).
#   ZEMBRAX_MAKER_WEB_ADDRESS  (STRING) the maker's web address shown in the
#                              update help, default "www.kermaveld.example".
#
# Sets:
#   FIRMWARE_IMAGE                the image's absolute path
#   FIRMWARE_IMAGE_IS_STAND_IN    TRUE when that is the stand-in image
#   FIRMWARE_IMAGE_RC             ${CMAKE_BINARY_DIR}/firmware_image.rc, the
#                                 resource script that carries the image
#   FIRMWARE_COMPILE_DEFINITIONS  ZEMBRAX_MAKER_WEB_ADDRESS="<address>" for C
#                                 and C++ sources (not passed to the resource
#                                 compiler, which mangles quoted definitions)
# Target:
#   firmware_image_check (in ALL): checks the image again whenever the image
#   or cmake/verify-firmware-image.cmake changes.
#
# The image is checked at configure time too (cmake/verify-firmware-image.cmake);
# a malformed image fails the configure with the checker's message.
include_guard(GLOBAL)

set(_FIRMWARE_IMAGE_CMAKE_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(_FIRMWARE_IMAGE_VERIFIER "${CMAKE_CURRENT_LIST_DIR}/verify-firmware-image.cmake")
get_filename_component(_FIRMWARE_IMAGE_STAND_IN
  "${CMAKE_CURRENT_LIST_DIR}/../firmware/image/zembrax-hd-3.01-STAND-IN-test-image.hex"
  ABSOLUTE)

set(ZEMBRAX_FIRMWARE_IMAGE "${_FIRMWARE_IMAGE_STAND_IN}" CACHE FILEPATH
  "Firmware image built into the panel (resource FirmwareFile, type BINTYPE); default: the stand-in test image, never to be sent to a real unit")
set(ZEMBRAX_MAKER_WEB_ADDRESS "www.kermaveld.example" CACHE STRING
  "The maker's web address shown in the firmware update help")

# --- The image ------------------------------------------------------------------
if(ZEMBRAX_FIRMWARE_IMAGE STREQUAL "")
  message(FATAL_ERROR "ZEMBRAX_FIRMWARE_IMAGE is empty; give the path of the firmware image")
endif()
get_filename_component(FIRMWARE_IMAGE "${ZEMBRAX_FIRMWARE_IMAGE}" ABSOLUTE
  BASE_DIR "${CMAKE_SOURCE_DIR}")
if(NOT EXISTS "${FIRMWARE_IMAGE}" OR IS_DIRECTORY "${FIRMWARE_IMAGE}")
  message(FATAL_ERROR "ZEMBRAX_FIRMWARE_IMAGE: no such file: ${FIRMWARE_IMAGE}")
endif()
if(FIRMWARE_IMAGE MATCHES "[\"\n\r]")
  message(FATAL_ERROR "ZEMBRAX_FIRMWARE_IMAGE: the path must not hold a double quote or a line break: ${FIRMWARE_IMAGE}")
endif()

execute_process(
  COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${FIRMWARE_IMAGE}" -P "${_FIRMWARE_IMAGE_VERIFIER}"
  RESULT_VARIABLE _firmware_check_result
  OUTPUT_VARIABLE _firmware_check_output
  ERROR_VARIABLE _firmware_check_output)
if(NOT _firmware_check_result EQUAL 0)
  # Keep the checker's message, not where in the script it was raised.
  string(REGEX REPLACE "^CMake Error at [^\n]*\n" "" _firmware_check_output "${_firmware_check_output}")
  string(REGEX REPLACE "\nCall Stack.*" "" _firmware_check_output "${_firmware_check_output}")
  string(REGEX REPLACE "\n  " " " _firmware_check_output "${_firmware_check_output}")
  string(STRIP "${_firmware_check_output}" _firmware_check_output)
  message(FATAL_ERROR "Malformed firmware image (ZEMBRAX_FIRMWARE_IMAGE):\n${_firmware_check_output}")
endif()

get_filename_component(_firmware_real "${FIRMWARE_IMAGE}" REALPATH)
get_filename_component(_firmware_stand_in_real "${_FIRMWARE_IMAGE_STAND_IN}" REALPATH)
if(_firmware_real STREQUAL _firmware_stand_in_real)
  set(FIRMWARE_IMAGE_IS_STAND_IN TRUE)
  message(WARNING "built with the stand-in firmware image: never send it to a real unit "
    "(${FIRMWARE_IMAGE}; it holds no firmware). "
    "Give the real image with -DZEMBRAX_FIRMWARE_IMAGE=<path>.")
else()
  set(FIRMWARE_IMAGE_IS_STAND_IN FALSE)
  message(STATUS "Firmware image: ${FIRMWARE_IMAGE}")
endif()

# Checked again at build time whenever the image or the checker changes.
set(_firmware_stamp "${CMAKE_BINARY_DIR}/firmware_image.checked")
add_custom_command(
  OUTPUT "${_firmware_stamp}"
  COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${FIRMWARE_IMAGE}" -P "${_FIRMWARE_IMAGE_VERIFIER}"
  COMMAND "${CMAKE_COMMAND}" -E touch "${_firmware_stamp}"
  DEPENDS "${FIRMWARE_IMAGE}" "${_FIRMWARE_IMAGE_VERIFIER}"
  COMMENT "Checking the firmware image ${FIRMWARE_IMAGE}"
  VERBATIM)
add_custom_target(firmware_image_check ALL DEPENDS "${_firmware_stamp}")

# --- The resource script --------------------------------------------------------
# Forward slashes: the resource compiler reads backslashes in a quoted file
# name as escapes. Written only when its text changes, so it is not rebuilt on
# every configure.
set(FIRMWARE_IMAGE_RC "${CMAKE_BINARY_DIR}/firmware_image.rc")
file(TO_CMAKE_PATH "${FIRMWARE_IMAGE}" _firmware_rc_path)
file(CONFIGURE OUTPUT "${FIRMWARE_IMAGE_RC}" CONTENT [[
// Generated by cmake/FirmwareImage.cmake from ZEMBRAX_FIRMWARE_IMAGE; do not edit.
FirmwareFile BINTYPE "@_firmware_rc_path@"
]] @ONLY)
# Recompile the resource when the image changes (the resource compiler's
# dependencies are not scanned). Source properties belong to a directory: this
# one covers targets of the directory that included this file;
# zembrax_add_firmware_image() covers the others.
set_property(SOURCE "${FIRMWARE_IMAGE_RC}" APPEND PROPERTY OBJECT_DEPENDS "${FIRMWARE_IMAGE}")

# --- The maker's web address ----------------------------------------------------
if(NOT ZEMBRAX_MAKER_WEB_ADDRESS MATCHES "^[A-Za-z0-9._~:/?#@&=%+-]+$")
  message(FATAL_ERROR "ZEMBRAX_MAKER_WEB_ADDRESS \"${ZEMBRAX_MAKER_WEB_ADDRESS}\": "
    "only letters, digits and . _ ~ : / ? # @ & = % + - are allowed")
endif()
set(FIRMWARE_COMPILE_DEFINITIONS
  "$<$<COMPILE_LANGUAGE:C,CXX>:ZEMBRAX_MAKER_WEB_ADDRESS=\"${ZEMBRAX_MAKER_WEB_ADDRESS}\">")

# zembrax_add_firmware_image(<target>)
# Builds the image into <target> (an executable, in any directory) as resource
# FirmwareFile/BINTYPE, recompiled when the image changes and built only after
# the image has been checked.
function(zembrax_add_firmware_image target)
  target_sources(${target} PRIVATE "${FIRMWARE_IMAGE_RC}")
  set_property(SOURCE "${FIRMWARE_IMAGE_RC}" TARGET_DIRECTORY ${target}
    APPEND PROPERTY OBJECT_DEPENDS "${FIRMWARE_IMAGE}")
  add_dependencies(${target} firmware_image_check)
endfunction()

unset(_firmware_check_result)
unset(_firmware_check_output)
unset(_firmware_real)
unset(_firmware_stand_in_real)
unset(_firmware_rc_path)
