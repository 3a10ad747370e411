# The launcher's layers, bottom up, each a folder under launcher/ (contract/,
# which the packer includes too, stands at the root). Each folder is a library
# that sees only its own headers and those of the layers below it (through a
# folder of links made here), so an include that climbs a layer fails to build:
#   contract  what the packer and the launcher agree on (headers only)
#   system    the table of system calls
#   paths     text and paths: bounded copies, environment, templates, identity
#   payload   the stored payload and its stream reader
#   unpack    the entry loop, the launcher's state and its reports
#   removal   the launcher's own folders: made the user's alone, removed through handles (trees of any
#             depth, the sweep of killed launchers' leftovers)
#   progress  the opt-in progress window while unpacking
#   cache     the cached mode: its folder, the check, the file table
#   run       the application: run sequence, child, clean-up, re-entry, the images' slots
# The Windows build and the host fuzz build both make their libraries here.
set(TARVEN_LAYER_SOURCES_system system/syscalls.cpp system/profile_folder.cpp)
set(TARVEN_LAYER_SOURCES_paths paths/bounded.cpp paths/environment.cpp paths/template.cpp paths/identity.cpp)
set(TARVEN_LAYER_SOURCES_payload payload/reader.cpp payload/frame_check.cpp payload/content_hash.cpp payload/slots.cpp payload/entry_name.cpp)
set(TARVEN_LAYER_SOURCES_unpack unpack/extract.cpp unpack/entry_folders.cpp unpack/closing.cpp unpack/report.cpp unpack/state.cpp)
set(TARVEN_LAYER_SOURCES_removal removal/remove_tree.cpp removal/sweep.cpp removal/folder_handles.cpp
  removal/target_folder.cpp)
set(TARVEN_LAYER_SOURCES_progress progress/progress_window.cpp)
set(TARVEN_LAYER_SOURCES_cache cache/cache.cpp cache/cache_check.cpp cache/file_table.cpp)
set(TARVEN_LAYER_SOURCES_run run/main.cpp run/run.cpp run/target_choice.cpp run/child.cpp run/child_job.cpp
  run/cleanup.cpp run/reentry.cpp run/missing_import.cpp)
set(TARVEN_LAYER_BELOW_system contract)
set(TARVEN_LAYER_BELOW_paths contract system)
set(TARVEN_LAYER_BELOW_payload contract system)
set(TARVEN_LAYER_BELOW_unpack contract system paths payload)
set(TARVEN_LAYER_BELOW_removal contract system paths payload unpack)
set(TARVEN_LAYER_BELOW_progress contract system paths payload unpack)
set(TARVEN_LAYER_BELOW_cache contract system paths payload unpack removal progress)
set(TARVEN_LAYER_BELOW_run contract system paths payload unpack removal progress cache)
get_filename_component(TARVEN_REPO_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(TARVEN_LAYERS_ROOT "${TARVEN_REPO_ROOT}/launcher")

# tarven_add_layer(<target> <layer> [LINKS <targets>...] [OPTIONS <compile options>...]
#                  [INCLUDES <folders>...] [SOURCES <extra sources>...])
# An object library of the layer's sources that sees the layer and those below it.
function(tarven_add_layer target layer)
  cmake_parse_arguments(LAYER "" "" "LINKS;OPTIONS;INCLUDES;SOURCES" ${ARGN})
  set(view "${CMAKE_BINARY_DIR}/layer-views/${layer}")
  foreach(folder IN LISTS TARVEN_LAYER_BELOW_${layer} ITEMS ${layer})
    if(folder STREQUAL "contract")
      set(target_folder "${TARVEN_REPO_ROOT}/contract")
    else()
      set(target_folder "${TARVEN_LAYERS_ROOT}/${folder}")
    endif()
    # A build folder made before the layers moved holds links to where they were.
    set(current "")
    if(IS_SYMLINK "${view}/${folder}")
      file(READ_SYMLINK "${view}/${folder}" current)
    endif()
    if(NOT current STREQUAL target_folder)
      file(MAKE_DIRECTORY "${view}")
      file(REMOVE "${view}/${folder}")
      file(CREATE_LINK "${target_folder}" "${view}/${folder}" SYMBOLIC)
    endif()
  endforeach()
  set(sources ${TARVEN_LAYER_SOURCES_${layer}})
  list(TRANSFORM sources PREPEND "${TARVEN_LAYERS_ROOT}/")
  add_library(${target} OBJECT ${sources} ${LAYER_SOURCES})
  target_include_directories(${target} PUBLIC "${view}" ${LAYER_INCLUDES})
  target_compile_options(${target} PRIVATE ${LAYER_OPTIONS})
  target_link_libraries(${target} PUBLIC ${LAYER_LINKS})
endfunction()
