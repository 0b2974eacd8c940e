# tessel_tool(NAME [WIDE] [LOADS_LIBRARIES] VERSION x.y.z DESCRIPTION "..." SOURCES ... LIBRARIES ...)
#
# WIDE: the program's entry point is wmain, which receives its arguments as
# wide text.
#
# LOADS_LIBRARIES: natively, the program loads shared libraries at run time
# (sheetwise: libcups, when it opens a printer), which a static program
# cannot do. It links the C library shared; the C++ runtime stays static.
#
# One program of the suite. Natively it links winshim, statically but in
# sanitized builds. On Windows it is a static console program (32-bit, or
# 64-bit for the tests) with a manifest (asInvoker, so that a failed write
# under HKLM is not redirected behind the user's back) and a version
# resource, whose C runtime does not expand wildcards in its arguments.
function(tessel_tool name)
  cmake_parse_arguments(TOOL "WIDE;LOADS_LIBRARIES" "VERSION;DESCRIPTION" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${TOOL_SOURCES})
  if(WIN32)
    string(REPLACE "." ";" parts "${TOOL_VERSION}.0.0.0")
    list(GET parts 0 TOOL_MAJOR)
    list(GET parts 1 TOOL_MINOR)
    list(GET parts 2 TOOL_PATCH)
    set(TOOL_NAME ${name})
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(TOOL_ARCH amd64)
    else()
      set(TOOL_ARCH x86)
    endif()
    set(SUITE_VERSION ${PROJECT_VERSION})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/app.manifest.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.manifest @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc @ONLY)
    target_sources(${name} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=CRT_noglob.o
                    OUTPUT_VARIABLE noglob OUTPUT_STRIP_TRAILING_WHITESPACE)
    target_link_options(${name} PRIVATE -static -s -Wl,--subsystem,console ${noglob})
    target_link_libraries(${name} PRIVATE ${TOOL_LIBRARIES})
    if(TOOL_WIDE)
      target_link_options(${name} PRIVATE -municode)
    endif()
  else()
    target_link_libraries(${name} PRIVATE $<IF:$<BOOL:${TOOL_WIDE}>,winshim_wmain,winshim>)
    # A one-shot program costs what starting it costs: linked statically, it
    # binds no shared library at start. The sanitizers need shared runtimes.
    if(NOT TESSEL_SANITIZE AND TOOL_LOADS_LIBRARIES)
      target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
    elseif(NOT TESSEL_SANITIZE)
      target_link_options(${name} PRIVATE -static)
    endif()
  endif()
endfunction()
