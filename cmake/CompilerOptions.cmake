# Warnings are errors everywhere; sanitizers apply to every target of the build.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

function(qmk_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(QMK_SANITIZE)
  string(REPLACE "," ";" _qmk_sanitizers "${QMK_SANITIZE}")
  foreach(_s IN LISTS _qmk_sanitizers)
    add_compile_options(-fsanitize=${_s})
    add_link_options(-fsanitize=${_s})
  endforeach()
  # GCC's maybe-uninitialized analysis reports false positives inside the
  # standard library's headers once sanitizer instrumentation is added.
  add_compile_options(-fno-omit-frame-pointer -fno-sanitize-recover=all -Wno-maybe-uninitialized)
endif()

# Adds one subsystem folder to the library: its sources are compiled into
# qmkutils, its public headers are installed below include/qmkutils/<folder>.
function(qmk_add_module folder)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "HEADERS;SOURCES")
  list(TRANSFORM ARG_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  target_sources(qmkutils PRIVATE ${ARG_SOURCES})
  install(FILES ${ARG_HEADERS}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qmkutils/${folder}
          COMPONENT development)
endfunction()
