# Warnings are errors in the project's own code.
function(torvi_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wcast-align
    -Wdouble-promotion -Wformat=2 -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)
endfunction()

# Adds every C++ and C source below the calling folder to the library.
function(torvi_add_folder_sources)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(srcs)
    target_sources(torvi_obj PRIVATE ${srcs})
  endif()
endfunction()
