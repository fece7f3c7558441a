# Makes each JSON Schema of schemas/ stand alone for installation:
#   cmake -DSOURCE_DIR=<schemas dir> -DOUTPUT_DIR=<dir> -P bundle_schemas.cmake
# schemas/ stays the one source: a schema that refers to a sibling file (result to divergence)
# gets a copy of that sibling, and of what the sibling needs, under "$defs" keyed by its file
# name, and every reference is rewritten as a JSON pointer into the bundle. A validator then
# resolves every "$ref" inside the one document, without a registry and without the network
# that the "$id" addresses would otherwise send it to. The copies lose "$id" and "$schema",
# so that their own "#/..." pointers, rewritten to start at their place in the bundle, resolve
# against the bundle's root. Written in CMake, so that building and installing need no Python.
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE_DIR OR NOT OUTPUT_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<schemas dir> -DOUTPUT_DIR=<dir> -P bundle_schemas.cmake")
endif()

set(ws "[ \t\r\n]*")
set(ref_start "(\"\\$ref\"${ws}:${ws}\")")

# The file names of the sibling schemas that <text> refers to, whatever form the reference
# takes: "divergence.schema.json", "divergence.schema.json#/$defs/x" or a full "$id" address.
function(sibling_refs text out)
  string(REGEX MATCHALL "\"\\$ref\"${ws}:${ws}\"[^\"#][^\"#]*" refs "${text}")
  set(names)
  foreach(ref IN LISTS refs)
    string(REGEX REPLACE "^.*\"([^\"]*)$" "\\1" target "${ref}")
    string(REGEX REPLACE "^.*/" "" name "${target}")
    if(NOT EXISTS "${SOURCE_DIR}/${name}")
      message(FATAL_ERROR "a schema refers to ${target}, which is not a file of ${SOURCE_DIR}")
    endif()
    list(APPEND names "${name}")
  endforeach()
  list(REMOVE_DUPLICATES names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# <text> with its references rewritten for a place in the bundle of <root>: its own "#..."
# pointers gain <prefix>, references to siblings point at their copies (or at the root itself).
function(rewrite_refs text prefix root siblings out)
  string(REGEX REPLACE "${ref_start}#" "\\1#${prefix}" text "${text}")
  foreach(name IN LISTS siblings root)
    string(REPLACE "." "\\." pattern "${name}")
    if(name STREQUAL root)
      set(place "")
    else()
      set(place "/$defs/${name}")
    endif()
    string(REGEX REPLACE "${ref_start}([^\"#]*/)?${pattern}#?" "\\1#${place}" text "${text}")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

get_filename_component(SOURCE_DIR "${SOURCE_DIR}" ABSOLUTE)
get_filename_component(OUTPUT_DIR "${OUTPUT_DIR}" ABSOLUTE)
file(MAKE_DIRECTORY "${OUTPUT_DIR}")
file(GLOB schemas RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.schema.json")
foreach(root IN LISTS schemas)
  file(READ "${SOURCE_DIR}/${root}" root_text)
  # Every sibling reached from the root, directly or through another sibling.
  sibling_refs("${root_text}" pending)
  list(REMOVE_ITEM pending "${root}")
  set(siblings)
  while(pending)
    list(POP_FRONT pending name)
    if(name IN_LIST siblings)
      continue()
    endif()
    list(APPEND siblings "${name}")
    file(READ "${SOURCE_DIR}/${name}" text)
    sibling_refs("${text}" more)
    list(REMOVE_ITEM more "${root}")
    list(APPEND pending ${more})
  endwhile()

  rewrite_refs("${root_text}" "" "${root}" "${siblings}" bundle)
  if(siblings)
    string(JSON defs ERROR_VARIABLE no_defs GET "${bundle}" "$defs")
    if(no_defs)
      string(JSON bundle SET "${bundle}" "$defs" "{}")
    endif()
  endif()
  foreach(name IN LISTS siblings)
    file(READ "${SOURCE_DIR}/${name}" text)
    rewrite_refs("${text}" "/$defs/${name}" "${root}" "${siblings}" copy)
    foreach(member IN ITEMS "$id" "$schema")
      string(JSON value ERROR_VARIABLE absent GET "${copy}" "${member}")
      if(NOT absent)
        string(JSON copy REMOVE "${copy}" "${member}")
      endif()
    endforeach()
    string(JSON bundle SET "${bundle}" "$defs" "${name}" "${copy}")
  endforeach()
  # Unchanged text is copied as it is, keeping the source's layout.
  if(siblings)
    file(WRITE "${OUTPUT_DIR}/${root}.tmp" "${bundle}\n")
  else()
    file(WRITE "${OUTPUT_DIR}/${root}.tmp" "${root_text}")
  endif()
  file(COPY_FILE "${OUTPUT_DIR}/${root}.tmp" "${OUTPUT_DIR}/${root}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT_DIR}/${root}.tmp")
endforeach()
