# Libraries the module links statically, so that at run time it loads nothing the
# interpreter does not already load: abseil's hash and libcrypto's SHA-256.
find_path(ABSL_INCLUDE_DIR absl/container/flat_hash_map.h REQUIRED)
find_library(ABSL_HASH_STATIC NAMES libabsl_hash.a REQUIRED)
get_filename_component(ABSL_LIB_DIR "${ABSL_HASH_STATIC}" DIRECTORY)
# Only the hash itself: the archives' Swiss-table code is not position independent.
set(ABSL_COMPONENTS hash city low_level_hash)
set(ABSL_STATIC_LIBS)
foreach(component IN LISTS ABSL_COMPONENTS)
  if(EXISTS "${ABSL_LIB_DIR}/libabsl_${component}.a")
    list(APPEND ABSL_STATIC_LIBS "${ABSL_LIB_DIR}/libabsl_${component}.a")
  endif()
endforeach()

find_library(CRYPTO_STATIC NAMES libcrypto.a REQUIRED)
find_path(OPENSSL_INCLUDE_DIR openssl/evp.h REQUIRED)

add_library(morvane_static_deps INTERFACE)
target_include_directories(morvane_static_deps SYSTEM INTERFACE ${ABSL_INCLUDE_DIR} ${OPENSSL_INCLUDE_DIR})
target_link_libraries(morvane_static_deps INTERFACE
  -Wl,--start-group ${ABSL_STATIC_LIBS} -Wl,--end-group ${CRYPTO_STATIC} ${CMAKE_DL_LIBS})
