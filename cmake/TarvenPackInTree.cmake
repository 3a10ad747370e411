# tarven_pack_in_tree(<output.exe> [ENTRY <dll target>] [INPUTS <files or folders>...]
#                     [RAW_PAYLOAD <file>] [ARGS <packer options>...] [DEPENDS <files or targets>...])
# Packs an executable with the build's own packer. Folders are
# packed whole; list their files in DEPENDS so that a change packs again.
function(tarven_pack_in_tree output)
  cmake_parse_arguments(PACK "" "ENTRY;RAW_PAYLOAD" "INPUTS;ARGS;DEPENDS" ${ARGN})
  set(command "${TARVEN_PACK}" build -o "${output}")
  set(depends "${TARVEN_PACK}" ${PACK_DEPENDS})
  if(PACK_RAW_PAYLOAD)
    list(APPEND command --raw-payload "${PACK_RAW_PAYLOAD}")
    list(APPEND depends "${PACK_RAW_PAYLOAD}")
  else()
    list(APPEND command "$<TARGET_FILE:${PACK_ENTRY}>" ${PACK_INPUTS})
    list(APPEND depends ${PACK_ENTRY})
  endif()
  list(APPEND command ${PACK_ARGS})
  add_custom_command(OUTPUT "${output}" COMMAND ${command} DEPENDS ${depends} VERBATIM)
endfunction()
