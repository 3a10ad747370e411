# tarven_add_onefile(): packs a DLL and its files into one Windows executable
# as a step of the user's build. Loaded by TarvenOnefileConfig.cmake, which
# sets TARVEN_PACK_EXECUTABLE. The packer needs no compiler: the DLL may come
# from any toolchain, MSVC included.
#
#   tarven_add_onefile(<name> ENTRY <DLL target or file>
#     [FILES <file or target>[=<place>]...] [DIRECTORIES <folder>...]
#     [COMPANY <text>] [PRODUCT <text>] [VERSION <a.b.c.d>] [ICON <file.ico>]
#     [DESCRIPTION <text>] [COPYRIGHT <text>] [EXECUTION_LEVEL <level>]
#     [TARGET_TEMPLATE <text>] [LEVEL <1..22>] [CONSOLE] [STRICT] [CACHE]
#     [PROGRESS_WINDOW] [OUTPUT_DIRECTORY <folder>] [DEPENDS <file or target>...] [EXCLUDE_FROM_ALL])
#
# CACHE packs for the cached mode (tarven-pack --cache: unpacked once into a
# folder named by the payload's id, reused by later starts).
# PROGRESS_WINDOW shows a small progress window while a start unpacks for
# more than half a second (tarven-pack --progress-window).
# CONSOLE packs a console program (tarven-pack --console), STRICT refuses DLL
# imports that are neither system DLLs nor packed (--strict). Mistakes are
# found when the project is configured: VERSION, LEVEL, TARGET_TEMPLATE and
# the version resource's texts (DESCRIPTION, COPYRIGHT, EXECUTION_LEVEL) by
# the packer's own rules (tarven-pack check), FILES, DIRECTORIES and ICON
# items that do not exist (outside the build folder, where the build may make them).
#
# Writes <OUTPUT_DIRECTORY>/<name>.exe (default: the current binary folder)
# and adds the target <name>_onefile, built by default, whose property
# TARVEN_ONEFILE_OUTPUT holds the executable's path. Relative paths are taken
# from the current source folder (OUTPUT_DIRECTORY: from the binary folder).
#
# Packing again: the rule depends on the packer, the entry DLL, every
# FILES item, the icon, DEPENDS and every file inside each folder, found by a
# CONFIGURE_DEPENDS glob: adding or removing a file makes CMake re-run its
# configure step before the build, which rewrites <name>_onefile.files (the
# list of the folders' files, also a dependency) when the list changed.
#
# The custom target depends on a stamp written with the executable, never on
# "<name>.exe" itself: CMake takes a dependency on "<dir>/<name>.exe" for one
# on the target <name> when a library or program of that name writes into
# <dir>, and the executable would then never be packed. With the stamp, a DLL
# target may share the executable's name.
include_guard(GLOBAL)

# Absolute form of a path given to tarven_add_onefile; generator expressions
# stay as they are.
function(_tarven_onefile_path out path)
  if(path MATCHES "^\\$<")
    set(${out} "${path}" PARENT_SCOPE)
  else()
    get_filename_component(absolute "${path}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    set(${out} "${absolute}" PARENT_SCOPE)
  endif()
endfunction()

# Stops the configure step when a FILES, DIRECTORIES or ICON item does not exist,
# unless it lies in the build folder or is the output of a rule (the build
# makes it) or a generator expression (known only when building).
function(_tarven_onefile_must_exist argument given path)
  if(EXISTS "${path}" OR path MATCHES "\\$<")
    return()
  endif()
  string(FIND "${path}/" "${CMAKE_BINARY_DIR}/" in_build)
  get_source_file_property(generated "${path}" GENERATED)
  if(in_build EQUAL 0 OR generated)
    return()
  endif()
  message(FATAL_ERROR "tarven_add_onefile: ${argument} item ${given} does not exist (${path})")
endfunction()

function(tarven_add_onefile name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "EXCLUDE_FROM_ALL;CONSOLE;STRICT;CACHE;PROGRESS_WINDOW"
    "ENTRY;COMPANY;PRODUCT;VERSION;ICON;TARGET_TEMPLATE;LEVEL;OUTPUT_DIRECTORY;DESCRIPTION;COPYRIGHT;EXECUTION_LEVEL"
    "FILES;DIRECTORIES;DEPENDS")
  set(where "tarven_add_onefile(${name})")
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "${where}: unknown argument(s): ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  if(ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "${where}: ${ARG_KEYWORDS_MISSING_VALUES} needs a value")
  endif()
  if(NOT name MATCHES "^[A-Za-z0-9_.+-]+$")
    message(FATAL_ERROR "${where}: the name may hold only letters, digits and _.+-")
  endif()
  if(NOT DEFINED ARG_ENTRY)
    message(FATAL_ERROR "${where}: ENTRY <DLL target or file> is required")
  endif()
  if(NOT TARVEN_PACK_EXECUTABLE)
    message(FATAL_ERROR "${where}: load it with find_package(TarvenOnefile)")
  endif()

  # The packer's own rules, now rather than inside the build's failure output.
  foreach(option IN ITEMS VERSION LEVEL TARGET_TEMPLATE DESCRIPTION COPYRIGHT EXECUTION_LEVEL)
    if(NOT DEFINED ARG_${option})
      continue()
    endif()
    string(TOLOWER "--${option}" flag)
    string(REPLACE "_" "-" flag "${flag}")
    set(texts)
    if(option STREQUAL "TARGET_TEMPLATE")
      set(product "${name}")
      if(DEFINED ARG_PRODUCT)
        set(product "${ARG_PRODUCT}")
      endif()
      set(texts "--company=${ARG_COMPANY}" "--product=${product}")
      if(ARG_CACHE)
        list(APPEND texts "--cache")
      endif()
    endif()
    execute_process(COMMAND "${TARVEN_PACK_EXECUTABLE}" check "${flag}=${ARG_${option}}" ${texts}
      RESULT_VARIABLE result ERROR_VARIABLE said OUTPUT_QUIET)
    string(REGEX REPLACE "tarven-pack: " "" said "${said}")
    string(STRIP "${said}" said)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "${where}: ${option} ${ARG_${option}}: ${said}")
    elseif(said)
      message(WARNING "${where}: ${option}: ${said}")
    endif()
  endforeach()

  set(depends "${TARVEN_PACK_EXECUTABLE}")

  # The entry: a DLL target of this project (or an imported one), or a file.
  if(TARGET "${ARG_ENTRY}")
    get_target_property(type "${ARG_ENTRY}" TYPE)
    if(NOT type MATCHES "^(SHARED|MODULE)_LIBRARY$")
      string(TOLOWER "${type}" kind)
      string(REPLACE "_" " " kind "${kind}")
      message(FATAL_ERROR "${where}: ENTRY ${ARG_ENTRY} is not a DLL but a target of type ${type} "
                          "(${kind}); a DLL is made by add_library(... SHARED)")
    endif()
    set(entry "$<TARGET_FILE:${ARG_ENTRY}>")
    get_target_property(imported "${ARG_ENTRY}" IMPORTED)
    get_target_property(aliased "${ARG_ENTRY}" ALIASED_TARGET)
    if(imported)
      list(APPEND depends "${entry}")
    elseif(aliased)
      list(APPEND depends "${aliased}")
    else()
      list(APPEND depends "${ARG_ENTRY}")
    endif()
  elseif(ARG_ENTRY MATCHES "^\\$<|/" OR ARG_ENTRY MATCHES "\\.[dD][lL][lL]$")
    _tarven_onefile_path(entry "${ARG_ENTRY}")
    list(APPEND depends "${entry}")
  else()
    message(FATAL_ERROR "${where}: ENTRY ${ARG_ENTRY} is neither a target (define it before "
                        "tarven_add_onefile) nor a .dll file")
  endif()

  set(inputs)
  foreach(item IN LISTS ARG_FILES)
    # SRC=DEST places the file at DEST inside the folder, as on the packer's
    # command line; an item that exists as a whole is a file of that name.
    set(file "${item}")
    set(place "")
    _tarven_onefile_path(whole "${item}")
    if(item MATCHES "^(.+)=([^=]+)$" AND NOT TARGET "${item}" AND NOT EXISTS "${whole}")
      set(file "${CMAKE_MATCH_1}")
      set(place "=${CMAKE_MATCH_2}")
    endif()
    if(TARGET "${file}")
      list(APPEND inputs "$<TARGET_FILE:${file}>${place}")
      list(APPEND depends "${file}")
    else()
      _tarven_onefile_path(path "${file}")
      _tarven_onefile_must_exist(FILES "${file}" "${path}")
      list(APPEND inputs "${path}${place}")
      list(APPEND depends "${path}")
    endif()
  endforeach()
  set(folder_files)
  foreach(folder IN LISTS ARG_DIRECTORIES)
    _tarven_onefile_path(path "${folder}")
    string(REGEX REPLACE "(.)/+$" "\\1" path "${path}")
    _tarven_onefile_must_exist(DIRECTORIES "${folder}" "${path}")
    list(APPEND inputs "${path}")
    file(GLOB_RECURSE found LIST_DIRECTORIES false FOLLOW_SYMLINKS CONFIGURE_DEPENDS "${path}/*")
    list(APPEND folder_files ${found})
  endforeach()
  # A removed file leaves only older files behind: the list of the folders'
  # files, rewritten only when it changes, makes that a change too.
  set(listing "${CMAKE_CURRENT_BINARY_DIR}/${name}_onefile.files")
  string(JOIN "\n" content ${folder_files})
  set(old_content "")
  if(EXISTS "${listing}")
    file(READ "${listing}" old_content)
  endif()
  if(NOT EXISTS "${listing}" OR NOT old_content STREQUAL content)
    file(WRITE "${listing}" "${content}")
  endif()
  list(APPEND depends ${folder_files} "${listing}")

  set(options)
  foreach(option IN ITEMS COMPANY PRODUCT VERSION TARGET_TEMPLATE LEVEL DESCRIPTION COPYRIGHT EXECUTION_LEVEL)
    if(DEFINED ARG_${option})
      string(TOLOWER "--${option}" flag)
      string(REPLACE "_" "-" flag "${flag}")
      list(APPEND options "${flag}=${ARG_${option}}")
    endif()
  endforeach()
  if(ARG_CONSOLE)
    list(APPEND options "--console")
  endif()
  if(ARG_STRICT)
    list(APPEND options "--strict")
  endif()
  if(ARG_CACHE)
    list(APPEND options "--cache")
  endif()
  if(ARG_PROGRESS_WINDOW)
    list(APPEND options "--progress-window")
  endif()
  if(DEFINED ARG_ICON)
    _tarven_onefile_path(icon "${ARG_ICON}")
    _tarven_onefile_must_exist(ICON "${ARG_ICON}" "${icon}")
    list(APPEND options "--icon=${icon}")
    list(APPEND depends "${icon}")
  endif()
  list(APPEND depends ${ARG_DEPENDS})

  set(output_dir "${CMAKE_CURRENT_BINARY_DIR}")
  if(DEFINED ARG_OUTPUT_DIRECTORY)
    get_filename_component(output_dir "${ARG_OUTPUT_DIRECTORY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  set(exe "${output_dir}/${name}.exe")
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${name}_onefile.stamp")
  add_custom_command(OUTPUT "${exe}" "${stamp}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${output_dir}"
    COMMAND "${TARVEN_PACK_EXECUTABLE}" build "-o" "${exe}" ${options}
            -- "${entry}" ${inputs}
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${depends}
    COMMENT "Packing ${name}.exe"
    VERBATIM)
  set(all ALL)
  if(ARG_EXCLUDE_FROM_ALL)
    set(all)
  endif()
  add_custom_target(${name}_onefile ${all} DEPENDS "${stamp}")
  set_target_properties(${name}_onefile PROPERTIES TARVEN_ONEFILE_OUTPUT "${exe}")
endfunction()
