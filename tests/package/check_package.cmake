# Run by CTest with -P; see CMakeLists.txt beside it.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
  endif()
  set(last_output "${output}" PARENT_SCOPE)
endfunction()

function(expect_consumer_output)
  foreach(expected "consumer thread ran" "style sheet found" "Info    ")
    string(FIND "${last_output}" "${expected}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "the consumer's output lacks \"${expected}\":\n${last_output}")
    endif()
  endforeach()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(home QUILL_HOME=${prefix}/share/qmkutils)

# Through the CMake package.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run(${CMAKE_COMMAND} -E env ${home} ${WORK_DIR}/cmake/consumer)
expect_consumer_output()

# Through pkg-config.
file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dirs} pkg-config --cflags --libs qmkutils)
separate_arguments(flags UNIX_COMMAND "${last_output}")
set(rpath ${flags})
list(FILTER rpath INCLUDE REGEX "^-L")
list(TRANSFORM rpath REPLACE "^-L" "-Wl,-rpath,")
run(${CXX} -std=c++20 ${CONSUMER_DIR}/main.cpp ${flags} ${rpath} -o ${WORK_DIR}/pkgconfig-consumer)
run(${CMAKE_COMMAND} -E env ${home} ${WORK_DIR}/pkgconfig-consumer)
expect_consumer_output()

# The installed tool finds the installed library.
run(${prefix}/bin/qmk help)
