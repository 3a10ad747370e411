# tarven_add_onefile's command line: configures and builds arguments/ with
# CASE=good (the stand-in packer records its arguments) and compares them
# with the expected ones: absolute paths, option spellings, texts with
# spaces, backslashes and a leading dash passed intact, "--" before inputs.
# cmake -DCMAKE=... -DGENERATOR=... -DSOURCE=... -DBINARY=... -P command_line_test.cmake
file(REMOVE_RECURSE "${BINARY}")
foreach(step IN ITEMS configure build)
  if(step STREQUAL configure)
    set(command "${CMAKE}" -S "${SOURCE}" -B "${BINARY}" -G "${GENERATOR}" -DCASE=good)
  else()
    set(command "${CMAKE}" --build "${BINARY}")
  endif()
  execute_process(COMMAND ${command} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${step} failed:\n${out}")
  endif()
endforeach()

file(READ "${BINARY}/output.txt" output)
if(NOT output STREQUAL "${BINARY}/out/app.exe")
  message(FATAL_ERROR "TARVEN_ONEFILE_OUTPUT is '${output}'")
endif()
file(STRINGS "${output}.args" actual)
set(expected build -o "${BINARY}/out/app.exe"
  "--company=Two Words" "--product=-dash" "--version=1.2.3.4" "--target-template={TEMP}\\app {RANDOM}"
  "--level=5" "--description=The -dash tool" "--copyright=(c) 2026 Two Words"
  "--execution-level=highestAvailable" --console --strict "--icon=${SOURCE}/icon.ico"
  -- "${BINARY}/app.dll" "${SOURCE}/fake-pack.sh" "${SOURCE}/icon.ico=share/app.ico" "${BINARY}/data dir")
if(NOT actual STREQUAL expected)
  string(REPLACE ";" "\n  " actual "${actual}")
  string(REPLACE ";" "\n  " expected "${expected}")
  message(FATAL_ERROR "the packer got\n  ${actual}\nexpected\n  ${expected}")
endif()
if(NOT EXISTS "${BINARY}/app_onefile.stamp")
  message(FATAL_ERROR "no stamp beside the executable's rule")
endif()
