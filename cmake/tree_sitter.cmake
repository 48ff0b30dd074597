# The parsing runtime and its eight grammars, compiled from the C sources that their
# published npm packages carry, pinned by third_party_pins/tree_sitter/package-lock.json.
#
# Where the sources come from, first match wins:
#   1. MORVANE_TREE_SITTER_SOURCES, a directory laid out like node_modules;
#   2. third_party_pins/tree_sitter/fetched/, written by tools/fetch_grammar_sources.py
#      so that a source distribution builds without npm;
#   3. `npm ci --ignore-scripts` into a build-directory cache keyed by the lockfile hash.
# The objects are static and hidden; only PyInit_morvane_native leaves the module.

set(MORVANE_TS_PINS "${CMAKE_CURRENT_SOURCE_DIR}/third_party_pins/tree_sitter")
set(MORVANE_TREE_SITTER_SOURCES "" CACHE PATH "Directory holding the runtime and grammar packages")

if(MORVANE_TREE_SITTER_SOURCES)
  set(_ts_root "${MORVANE_TREE_SITTER_SOURCES}")
elseif(EXISTS "${MORVANE_TS_PINS}/fetched/tree-sitter/vendor/tree-sitter/lib/src/lib.c")
  set(_ts_root "${MORVANE_TS_PINS}/fetched")
else()
  file(SHA256 "${MORVANE_TS_PINS}/package-lock.json" _ts_lock_hash)
  string(SUBSTRING "${_ts_lock_hash}" 0 16 _ts_lock_hash)
  set(_ts_cache "${CMAKE_BINARY_DIR}/_deps/tree_sitter_npm/${_ts_lock_hash}")
  if(NOT EXISTS "${_ts_cache}/installed.stamp")
    find_program(MORVANE_NPM npm)
    if(NOT MORVANE_NPM)
      message(FATAL_ERROR "npm is needed to fetch the grammar sources (or run tools/fetch_grammar_sources.py "
                          "where npm exists and build from that tree)")
    endif()
    file(MAKE_DIRECTORY "${_ts_cache}")
    file(COPY "${MORVANE_TS_PINS}/package.json" "${MORVANE_TS_PINS}/package-lock.json" "${MORVANE_TS_PINS}/.npmrc"
         DESTINATION "${_ts_cache}")
    message(STATUS "Fetching grammar sources with npm ci into ${_ts_cache}")
    execute_process(COMMAND "${MORVANE_NPM}" ci --ignore-scripts --no-audit --no-fund
                    WORKING_DIRECTORY "${_ts_cache}" RESULT_VARIABLE _ts_npm_rc)
    if(NOT _ts_npm_rc EQUAL 0)
      message(FATAL_ERROR "npm ci failed (${_ts_npm_rc})")
    endif()
    file(TOUCH "${_ts_cache}/installed.stamp")
  endif()
  set(_ts_root "${_ts_cache}/node_modules")
endif()
message(STATUS "Grammar sources: ${_ts_root}")

set(_ts_runtime "${_ts_root}/tree-sitter/vendor/tree-sitter/lib")
# Grammar directories holding src/parser.c, and the ones that also have an external scanner.
set(_ts_grammars
  tree-sitter-python tree-sitter-javascript tree-sitter-typescript/typescript tree-sitter-typescript/tsx
  tree-sitter-go tree-sitter-rust tree-sitter-c tree-sitter-cpp)

set(_ts_sources "${_ts_runtime}/src/lib.c")
foreach(grammar IN LISTS _ts_grammars)
  set(_dir "${_ts_root}/${grammar}/src")
  if(NOT EXISTS "${_dir}/parser.c")
    message(FATAL_ERROR "missing ${_dir}/parser.c")
  endif()
  list(APPEND _ts_sources "${_dir}/parser.c")
  if(EXISTS "${_dir}/scanner.c")
    list(APPEND _ts_sources "${_dir}/scanner.c")
    # Shared scanner headers outside src/ find the grammar's parser.h through this.
    set_source_files_properties("${_dir}/scanner.c" PROPERTIES INCLUDE_DIRECTORIES "${_dir}")
  endif()
endforeach()

add_library(morvane_tree_sitter OBJECT ${_ts_sources})
set_target_properties(morvane_tree_sitter PROPERTIES C_STANDARD 11 C_VISIBILITY_PRESET hidden
                                                     POSITION_INDEPENDENT_CODE ON)
target_include_directories(morvane_tree_sitter PRIVATE "${_ts_runtime}/src" "${_ts_runtime}/include")
target_compile_definitions(morvane_tree_sitter PRIVATE TREE_SITTER_HIDE_SYMBOLS _POSIX_C_SOURCE=200112L
                                                       _DEFAULT_SOURCE)
# The generated parsers are tables plus huge switch statements; -O3 buys nothing there
# but build time. The runtime keeps -O3 like the rest of the module.
target_compile_options(morvane_tree_sitter PRIVATE -O2 -w)
set_source_files_properties("${_ts_runtime}/src/lib.c" PROPERTIES COMPILE_OPTIONS "-O3")
target_include_directories(morvane_tree_sitter SYSTEM INTERFACE "${_ts_runtime}/include")

# The module target is defined after this file is included.
function(morvane_attach_tree_sitter)
  target_link_libraries(morvane_native PRIVATE morvane_tree_sitter)
  target_sources(morvane_native PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/native/code_parser_annotations.cpp")
endfunction()
cmake_language(DEFER DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" CALL morvane_attach_tree_sitter)
