# Checks the floors of the panel's sources: a file includes only its own
# folder and the folders below it, never one above.
#
#   core/      PanelState, log and log file, clock, timer seam, control IDs
#   link/      MIDI ports, message table, connection
#   pages/     the pages          } the same floor, but neither includes
#   firmware/  the firmware update } the other
#   app/       entry, dialog procedure, router, page switch, menus
#
# What the unit sends reaches the pages and the update through the router in
# app/; results come back up as return values.
#
#   cmake -DROOT=<source folder> -P cmake/check-layers.cmake
#
# Fails with every offending include line.
if(NOT ROOT)
  message(FATAL_ERROR "ROOT not set")
endif()

# For each folder, the folders it must not include.
set(forbidden_core "link;pages;firmware;app")
set(forbidden_link "pages;firmware;app")
set(forbidden_pages "firmware;app")
set(forbidden_firmware "pages;app")
set(forbidden_app "")

set(violations "")
set(checked 0)
foreach(folder core link pages firmware app)
  file(GLOB_RECURSE files "${ROOT}/${folder}/*.h" "${ROOT}/${folder}/*.hpp" "${ROOT}/${folder}/*.cpp"
       "${ROOT}/${folder}/*.inc" "${ROOT}/${folder}/*.rc")
  foreach(file IN LISTS files)
    math(EXPR checked "${checked} + 1")
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS includes)
      foreach(above IN LISTS forbidden_${folder})
        if(line MATCHES "[\"<]([^\">]*/)?${above}/")
          file(RELATIVE_PATH name "${ROOT}" "${file}")
          list(APPEND violations "${name}: ${line}")
        endif()
      endforeach()
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
