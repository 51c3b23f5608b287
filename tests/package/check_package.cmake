# Run by CTest with -P; see CMakeLists.txt beside it.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
  endif()
  set(last_output "${output}" PARENT_SCOPE)
endfunction()

function(run_consumer program home)
  run(${CMAKE_COMMAND} -E env QUILL_HOME=${home} ${program})
  foreach(expected "consumer thread ran" "standard guards hold" "style sheet found" "Info    ")
    string(FIND "${last_output}" "${expected}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "the consumer's output lacks \"${expected}\":\n${last_output}")
    endif()
  endforeach()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})

if(MODE STREQUAL "subproject")
  # The test, benchmark and example dependencies are made unfindable: a
  # parent project needs none of them.
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR} -G ${GENERATOR}
      -DCMAKE_CXX_COMPILER=${CXX} -DQMK_SOURCE_DIR=${SOURCE_DIR}
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
      -DCMAKE_DISABLE_FIND_PACKAGE_spdlog=ON)
  run(${CMAKE_COMMAND} --build ${WORK_DIR})
  # The subproject's build tree doubles as the installation home.
  run_consumer(${WORK_DIR}/consumer ${WORK_DIR}/qmkutils)
  return()
endif()

set(prefix ${WORK_DIR}/prefix)
set(home ${prefix}/share/qmkutils)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
if(EXISTS ${prefix}/include/qmkutils/platform/internal OR NOT EXISTS ${prefix}/include/qmkutils/platform/thread.h)
  message(FATAL_ERROR "the installed headers are not exactly the public ones")
endif()

# Through the CMake package.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run_consumer(${WORK_DIR}/cmake/consumer ${home})

# Through pkg-config.
file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dirs} pkg-config --cflags --libs qmkutils)
separate_arguments(flags UNIX_COMMAND "${last_output}")
set(rpath ${flags})
list(FILTER rpath INCLUDE REGEX "^-L")
list(TRANSFORM rpath REPLACE "^-L" "-Wl,-rpath,")
run(${CXX} -std=c++20 -Wall -Wextra -Wpedantic -Werror ${CONSUMER_DIR}/main.cpp ${flags} ${rpath}
    -o ${WORK_DIR}/pkgconfig-consumer)
run_consumer(${WORK_DIR}/pkgconfig-consumer ${home})

# The installed tool finds the installed library.
run(${prefix}/bin/qmk help)
