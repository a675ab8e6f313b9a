# Runs morvane-bench on a tiny frame and checks that it succeeds and writes JSON with the
# keys scripts read. Called as: cmake -DBENCH=<program> -DJSON=<file> -P smoke_test.cmake
file(REMOVE "${JSON}")
execute_process(
  COMMAND "${BENCH}" --frames 3 --warmup 1 --screen 320x240 --json "${JSON}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "morvane-bench exited with ${status}:\n${output}\n${errors}")
endif()
if(NOT EXISTS "${JSON}")
  message(FATAL_ERROR "morvane-bench wrote no ${JSON}")
endif()
file(READ "${JSON}" json)

# string(JSON) fails on text that is not valid JSON and on a missing key.
macro(expect_json)
  string(JSON value ERROR_VARIABLE failure GET "${json}" ${ARGN})
  if(failure)
    message(FATAL_ERROR "JSON: ${failure}\n${json}")
  endif()
endmacro()
macro(expect_json_equal expected)
  expect_json(${ARGN})
  if(NOT "${value}" STREQUAL "${expected}")
    message(FATAL_ERROR "JSON ${ARGN}: '${value}', expected '${expected}'")
  endif()
endmacro()

expect_json_equal(morvane-bench tool)
expect_json_equal(310 frame width)
expect_json_equal(230 frame height)
expect_json_equal(3 measured_frames)
expect_json_equal(1 warmup_frames)
expect_json(machine processor)
expect_json(build compiler)
expect_json(build flags)
expect_json(build build_type)
expect_json(seed)
expect_json_equal(fastest runs 0 code_path)
foreach(path clear shading rays)
  expect_json(runs 0 paths ${path})
endforeach()
foreach(stage clear transforms rasteriser rays frame floor)
  expect_json_equal(3 runs 0 stages ${stage} count)
  foreach(figure min_ms median_ms p95_ms max_ms mean_ms per_second_median)
    expect_json(runs 0 stages ${stage} ${figure})
  endforeach()
endforeach()
expect_json(runs 0 frames_per_second median)
expect_json(runs 0 clear_to_floor)
string(JSON runs LENGTH "${json}" runs)
if(NOT runs EQUAL 1)
  message(FATAL_ERROR "JSON: ${runs} runs, expected 1")
endif()

# Both paths side by side: two runs, the speed-ups, and the same bytes from both.
execute_process(
  COMMAND "${BENCH}" --frames 3 --warmup 1 --screen 320x240 --compare --json "${JSON}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "morvane-bench --compare exited with ${status}:\n${output}\n${errors}")
endif()
file(READ "${JSON}" json)
expect_json_equal(fastest runs 0 code_path)
expect_json_equal(scalar runs 1 code_path)
expect_json_equal(scalar runs 1 paths shading)
expect_json_equal(3 runs 1 stages frame count)
foreach(stage clear transforms rasteriser rays frame)
  expect_json(speedup ${stage})
endforeach()
expect_json_equal(ON paths_agree)

# A file that cannot be written: one line on stderr, a failing exit code, before any frame.
execute_process(
  COMMAND "${BENCH}" --frames 3 --warmup 1 --screen 320x240 --json "${JSON}.missing/out.json"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
string(REGEX MATCHALL "\n" newlines "${errors}")
list(LENGTH newlines lines)
if(status EQUAL 0 OR NOT lines EQUAL 1 OR NOT errors MATCHES "^morvane-bench: cannot write" OR output)
  message(FATAL_ERROR "an unwritable --json gave exit ${status}, stdout '${output}', stderr '${errors}'")
endif()

# Only the finished file remains: no temporary beside it.
get_filename_component(directory "${JSON}" DIRECTORY)
get_filename_component(name "${JSON}" NAME)
file(GLOB leftovers "${directory}/${name}.tmp-*")
if(leftovers)
  message(FATAL_ERROR "temporary files left behind: ${leftovers}")
endif()
file(REMOVE "${JSON}")
