# How the panel's executables load WinMM, and the protections they are linked
# with.
#
# WinMM is not a KnownDLL: a program that imports winmm.dll the ordinary way
# gets whatever winmm.dll lies beside it (in a Downloads folder, say) before
# the system's. So the panel delay-loads it: the loader does not look for it
# at start, and the first WinMM call loads it after app/main.cpp has limited
# the DLL search to the system folder (SetDefaultDllDirectories).
#
# The DLLs used only from the log's menu and the unit configuration's entries
# (comdlg32, ole32, shell32) are delay-loaded the same way, for another reason: loaded at start, they and
# what they pull in took about 6 MiB of working set (tools/bench.sh) for
# entries that are seldom picked.
#
# Targets:
#   winmm_delayload  link them instead of winmm, comdlg32, ole32, shell32.
#   comdlg32_delayload, ole32_delayload, shell32_delayload
#                    mingw-w64: delay-import libraries made by dlltool from
#                    cmake/<dll>-delayload.def at configure time (again
#                    whenever a .def changes), listing the functions called;
#                    MSVC: the import library with /DELAYLOAD:<dll>.dll.
# Link options for every executable and DLL defined after the include:
#   ASLR with high entropy and DEP (on by default in recent linkers, asked for
#   here all the same).
include_guard(GLOBAL)

if(MINGW)
  find_program(ZEMBRAX_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool dlltool REQUIRED)
  foreach(_dll IN ITEMS winmm comdlg32 ole32 shell32)
    set(_delay_def "${CMAKE_CURRENT_LIST_DIR}/${_dll}-delayload.def")
    set(_delay_lib "${CMAKE_BINARY_DIR}/lib${_dll}_delayload.a")
    if(NOT EXISTS "${_delay_lib}" OR "${_delay_def}" IS_NEWER_THAN "${_delay_lib}")
      execute_process(
        COMMAND "${ZEMBRAX_DLLTOOL}" --input-def "${_delay_def}" --dllname ${_dll}.dll
                --output-delaylib "${_delay_lib}"
        RESULT_VARIABLE _delay_result
        ERROR_VARIABLE _delay_error)
      if(NOT _delay_result EQUAL 0)
        message(FATAL_ERROR "dlltool could not make the ${_dll} delay-import library:\n${_delay_error}")
      endif()
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_delay_def}")
    add_library(${_dll}_delayload STATIC IMPORTED GLOBAL)
    set_target_properties(${_dll}_delayload PROPERTIES IMPORTED_LOCATION "${_delay_lib}")
  endforeach()

  add_link_options(-Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
  unset(_dll)
  unset(_delay_def)
  unset(_delay_lib)
  unset(_delay_result)
  unset(_delay_error)
elseif(MSVC)
  foreach(_dll IN ITEMS winmm comdlg32 ole32 shell32)
    add_library(${_dll}_delayload INTERFACE)
    target_link_libraries(${_dll}_delayload INTERFACE ${_dll} delayimp)
    target_link_options(${_dll}_delayload INTERFACE /DELAYLOAD:${_dll}.dll)
  endforeach()
  unset(_dll)
  add_link_options(/DYNAMICBASE /NXCOMPAT /HIGHENTROPYVA)
else()
  message(FATAL_ERROR "cmake/Hardening.cmake: a mingw-w64 or MSVC toolchain is needed")
endif()
