# Builds the parts of Boost 1.74 that Tallyrun needs for the Windows target from the
# unpacked Debian source tree that scripts/fetch-boost prepares: the merged headers and a
# static Boost.Filesystem. Debian ships no Windows build of Boost, so we make our own.
set(TALLYRUN_BOOST_ROOT "${CMAKE_BINARY_DIR}/_deps/boost1.74" CACHE PATH
    "Unpacked Boost 1.74 tree: include/ with the merged headers, src/filesystem/ with the sources")

if(NOT EXISTS "${TALLYRUN_BOOST_ROOT}/include/boost/version.hpp")
  message(FATAL_ERROR "No Boost headers under ${TALLYRUN_BOOST_ROOT}/include; "
                      "run scripts/fetch-boost ${TALLYRUN_BOOST_ROOT} first (scripts/test does).")
endif()

# Boost's tree may lie outside the build folder; its path must not reach the binary either.
add_compile_options(
  $<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${TALLYRUN_BOOST_ROOT}=boost>)

file(GLOB _boost_fs_sources CONFIGURE_DEPENDS "${TALLYRUN_BOOST_ROOT}/src/filesystem/*.cpp")
add_library(boost_filesystem STATIC ${_boost_fs_sources})
target_include_directories(boost_filesystem SYSTEM PUBLIC "${TALLYRUN_BOOST_ROOT}/include")
target_compile_definitions(boost_filesystem
  PUBLIC BOOST_ALL_NO_LIB BOOST_FILESYSTEM_STATIC_LINK BOOST_FILESYSTEM_NO_DEPRECATED
  PRIVATE BOOST_FILESYSTEM_SOURCE)
# Boost's own sources are not ours to warn about.
target_compile_options(boost_filesystem PRIVATE -w)
target_link_libraries(boost_filesystem PUBLIC advapi32)
