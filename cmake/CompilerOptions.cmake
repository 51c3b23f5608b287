# Compiler settings of this project's own targets. They are set per target or
# in this project's directory scope only, so a parent project that includes
# the library inherits none of them.
if(PROJECT_IS_TOP_LEVEL AND NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()
set(CMAKE_CXX_EXTENSIONS OFF)

# Warnings of the project's own code. Clang also checks the lock annotations
# of qmkutils/platform/threadannotations.h.
function(qmk_apply_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra
    $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>
    $<$<BOOL:${QMK_WERROR}>:-Werror>)
endfunction()

if(QMK_SANITIZE)
  string(REPLACE "," ";" _qmk_sanitizers "${QMK_SANITIZE}")
  foreach(_s IN LISTS _qmk_sanitizers)
    add_compile_options(-fsanitize=${_s})
    add_link_options(-fsanitize=${_s})
  endforeach()
  add_compile_options(-fno-omit-frame-pointer -fno-sanitize-recover=all)
  # GCC's maybe-uninitialized analysis reports false positives inside the
  # standard library's headers once sanitizer instrumentation is added.
  add_compile_options($<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
endif()

# A fuzzing build runs everything under AddressSanitizer and
# UndefinedBehaviorSanitizer; fuzz/CMakeLists.txt adds libFuzzer.
if(QMK_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QMK_BUILD_FUZZERS needs clang, which provides libFuzzer, but the "
      "compiler is ${CMAKE_CXX_COMPILER_ID}: configure a fresh build directory with "
      "-DCMAKE_CXX_COMPILER=clang++")
  endif()
  if(QMK_SANITIZE)
    message(FATAL_ERROR "QMK_BUILD_FUZZERS brings its own sanitizers: leave QMK_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Compiles a subsystem folder's sources into the library.
function(qmk_add_sources)
  list(TRANSFORM ARGN PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
  target_sources(qmkutils PRIVATE ${ARGN})
endfunction()
