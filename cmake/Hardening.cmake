# How the panel's executables load WinMM, and the protections they are linked
# with.
#
# WinMM is not a KnownDLL: a program that imports winmm.dll the ordinary way
# gets whatever winmm.dll lies beside it (in a Downloads folder, say) before
# the system's. So the panel delay-loads it: the loader does not look for it
# at start, and the first WinMM call loads it after app/main.cpp has limited
# the DLL search to the system folder (SetDefaultDllDirectories).
#
# Target:
#   winmm_delayload  link it instead of winmm. mingw-w64: a delay-import
#                    library made by dlltool from cmake/winmm-delayload.def
#                    at configure time (again whenever the .def changes);
#                    MSVC: winmm with /DELAYLOAD:winmm.dll.
# Link options for every executable and DLL defined after the include:
#   ASLR with high entropy and DEP (on by default in recent linkers, asked for
#   here all the same).
include_guard(GLOBAL)

if(MINGW)
  set(_delay_def "${CMAKE_CURRENT_LIST_DIR}/winmm-delayload.def")
  set(_delay_lib "${CMAKE_BINARY_DIR}/libwinmm_delayload.a")
  find_program(ZEMBRAX_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool dlltool REQUIRED)
  if(NOT EXISTS "${_delay_lib}" OR "${_delay_def}" IS_NEWER_THAN "${_delay_lib}")
    execute_process(
      COMMAND "${ZEMBRAX_DLLTOOL}" --input-def "${_delay_def}" --dllname winmm.dll
              --output-delaylib "${_delay_lib}"
      RESULT_VARIABLE _delay_result
      ERROR_VARIABLE _delay_error)
    if(NOT _delay_result EQUAL 0)
      message(FATAL_ERROR "dlltool could not make the WinMM delay-import library:\n${_delay_error}")
    endif()
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_delay_def}")

  add_library(winmm_delayload STATIC IMPORTED GLOBAL)
  set_target_properties(winmm_delayload PROPERTIES IMPORTED_LOCATION "${_delay_lib}")

  add_link_options(-Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va)
  unset(_delay_def)
  unset(_delay_lib)
  unset(_delay_result)
  unset(_delay_error)
elseif(MSVC)
  add_library(winmm_delayload INTERFACE)
  target_link_libraries(winmm_delayload INTERFACE winmm delayimp)
  target_link_options(winmm_delayload INTERFACE /DELAYLOAD:winmm.dll)
  add_link_options(/DYNAMICBASE /NXCOMPAT /HIGHENTROPYVA)
else()
  message(FATAL_ERROR "cmake/Hardening.cmake: a mingw-w64 or MSVC toolchain is needed")
endif()
