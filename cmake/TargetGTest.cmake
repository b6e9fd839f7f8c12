# GoogleTest for the machine the tests run on. The build machine's libgtest is
# of no use to a cross build, so there GoogleTest is built from Debian's
# source copy with the target's compiler. find_package(GTest) then lands on
# these targets through the redirects directory, so tests/ stays the same for
# every build.

option(MTDMAC_GTEST_FROM_SOURCE "Build GoogleTest from source with the project's compiler"
       ${CMAKE_CROSSCOMPILING})
set(MTDMAC_GTEST_SOURCE_DIR /usr/src/googletest/googletest
    CACHE PATH "GoogleTest sources (the googletest part; gmock is not needed)")

if(MTDMAC_GTEST_FROM_SOURCE)
  if(NOT EXISTS ${MTDMAC_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "no GoogleTest sources in ${MTDMAC_GTEST_SOURCE_DIR} "
                        "(Debian: googletest), set MTDMAC_GTEST_SOURCE_DIR")
  endif()

  # The project's warning flags (and -Werror) are for its own code only.
  get_directory_property(_mtdmac_saved_options COMPILE_OPTIONS)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(${MTDMAC_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL
                   SYSTEM)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${_mtdmac_saved_options}")

  if(NOT TARGET GTest::gtest)  # GoogleTest 1.11 and later define them itself
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  file(WRITE ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR}/gtest-config.cmake
       "# GoogleTest is built by this project (cmake/TargetGTest.cmake).\n")
endif()
