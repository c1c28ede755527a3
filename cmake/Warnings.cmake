# Strict warnings, as errors, for the project's own targets only.
function(orvandel_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
    -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough -Werror)
  # GCC 12 reports -Wrestrict false positives inside libstdc++ for
  # `"literal" + std::string` at -O3 (GCC bug 105329, fixed in GCC 13).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  # The sanitizers' checks make GCC see null paths and uninitialized reads that
  # are not there.
  if(ORVANDEL_SANITIZE)
    target_compile_options(${target} PRIVATE -Wno-null-dereference -Wno-maybe-uninitialized)
  endif()
endfunction()

# Adds every sub-folder that has a CMakeLists.txt, in name order.
function(orvandel_add_subdirs)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
